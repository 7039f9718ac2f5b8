// Putting a copy of this program in place as the installed stub, <root>\updater.exe,
// the only program that starts the application and repairs the installation.
#pragma once

#include <string>

// Makes the file `source` the stub. It is first copied beside the stub as
// updater.new.exe, checked against `source_digest` (its SHA-256 in lowercase
// hexadecimal) and flushed to the disk; it must state a version in its version resource
// and, run once with "/selfcheck", end with exit code 0 within a few seconds. Only then
// is it renamed into place, the stub there before moved aside to updater.old.exe, since
// a running program can be renamed but not overwritten. False when any step fails: the
// stub there before, if any, is then in place and whole, updater.new.exe is gone, and
// `error` says which step ("cannot copy it (error N)", "its copy differs", "cannot flush
// its copy (error N)", "it states no version", "it did not start (error N)", "its
// self-check did not end", "its self-check failed (error <exit code>)", "cannot set the
// stub in place aside (error N)", "cannot put it in place (error N)", or a full disk's
// text).
bool stub_swap_in(const std::wstring& source, const std::string& source_digest,
                  std::wstring& error);
