// The text of a failed platform call.
#pragma once

#include <string>

// "<text> (error <code>)", cut to 159 characters when longer.
std::wstring win_err(const wchar_t* text, unsigned long code);
