// <root>\updater.log: one timestamped line per event, started afresh past 256 KiB.
#pragma once

// The executable formats through msvcrt.dll, so formats are checked against what that
// understands.
#if defined(__MINGW32__)
#define BW_PRINTF_FORMAT(fmt_index, first_arg)                                                     \
    __attribute__((format(ms_printf, fmt_index, first_arg)))
#elif defined(__GNUC__)
#define BW_PRINTF_FORMAT(fmt_index, first_arg)                                                     \
    __attribute__((format(gnu_printf, fmt_index, first_arg)))
#else
#define BW_PRINTF_FORMAT(fmt_index, first_arg)
#endif

// Appends "<local time> [<stub version>] <message>" and LF, line breaks in the message
// written as spaces. Every failure is silent: the log never affects the outcome of a
// flow.
void log_line(const char* format, ...) BW_PRINTF_FORMAT(1, 2);

// The same, unless a line of the log holds that very message already: for what would
// otherwise be said again at every start while nothing changes.
void log_line_once(const char* format, ...) BW_PRINTF_FORMAT(1, 2);
