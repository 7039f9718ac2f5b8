// Which archive entry names may be written below the extraction directory.
#pragma once

#include <string>

// `name` is UTF-8 with slashes as separators. Unsafe: empty, rooted, any colon (drive
// or stream) or NUL (which would end the name early), a ".." component, and names that Windows
// would silently alias to another file: a component naming a device (CON, NUL.txt, com1 ...) or
// ending in a dot or a space. Empty and "." components are harmless and allowed.
bool entry_name_is_safe(const std::string& name);
