#include "state/update_log.h"
#include "state/file_tree.h"
#include "state/paths.h"
#include "support/test_support.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace {

constexpr size_t bound = 262144;
constexpr size_t prefix_length = 28; // "YYYY-MM-DD hh:mm:ss [1.1.0] "

class UpdateLog : public ::testing::Test {
  protected:
    void SetUp() override { clear(); }
    void TearDown() override { clear(); }
    static void clear() {
        DeleteFileW(log_file().c_str());
        rm_tree(log_file());
    }
};

// Checks one line's layout and returns its message part.
std::string message_of(const std::string& line) {
    EXPECT_GE(line.size(), prefix_length + 1);
    if (line.size() < prefix_length + 1) {
        return std::string();
    }
    const std::string shape = "dddd-dd-dd dd:dd:dd [1.1.0] ";
    for (size_t i = 0; i < prefix_length; ++i) {
        const bool ok = shape[i] == 'd' ? (line[i] >= '0' && line[i] <= '9') : line[i] == shape[i];
        EXPECT_TRUE(ok) << "prefix differs at column " << i << ": " << line;
    }
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\r'), std::string::npos);
    return line.substr(prefix_length, line.size() - prefix_length - 1);
}

TEST_F(UpdateLog, FirstCallCreatesTheFileWithOneLine) {
    log_line("shortcut creation failed");
    const std::string text = read_file(log_file());
    EXPECT_EQ(message_of(text), "shortcut creation failed");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
}

// Said once while the log holds it: a message that is only a part of a line, or that a
// line only begins with, is no such line.
TEST_F(UpdateLog, OnceIsOnceWhileTheLogHoldsTheLine) {
    log_line("update 2.4 not taken: policy TargetVersionPrefix is 2.3.1");
    log_line_once("update 2.4 not taken: policy TargetVersionPrefix is %s", "2.3");
    log_line_once("update 2.4 not taken: policy TargetVersionPrefix is %s", "2.3");
    log_line_once("update 2.4 not taken");
    log_line("staged 2.4");
    log_line_once("update 2.4 not taken: policy TargetVersionPrefix is %s", "2.3");
    const std::string text = read_file(log_file());
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4) << text;
    EXPECT_EQ(message_of(text.substr(text.rfind('\n', text.size() - 2) + 1)), "staged 2.4");
}

TEST_F(UpdateLog, FormatsArgumentsAndAppendsLines) {
    log_line("staged %s exited %lu in <15s, rolling back", "2.5.0", 1ul);
    log_line("stage %s failed: %s", "2.6", "checksum mismatch - download corrupted or tampered");
    log_line("staged %s exited %lu in <15s, rolling back", "2.7", 3221225477ul);
    const std::string text = read_file(log_file());
    const size_t first_end = text.find('\n') + 1;
    const size_t second_end = text.find('\n', first_end) + 1;
    EXPECT_EQ(message_of(text.substr(0, first_end)), "staged 2.5.0 exited 1 in <15s, rolling back");
    EXPECT_EQ(message_of(text.substr(first_end, second_end - first_end)),
              "stage 2.6 failed: checksum mismatch - download corrupted or tampered");
    EXPECT_EQ(message_of(text.substr(second_end)),
              "staged 2.7 exited 3221225477 in <15s, rolling back");
}

TEST_F(UpdateLog, TimestampIsTheLocalTimeNow) {
    SYSTEMTIME before;
    GetLocalTime(&before);
    log_line("installed %s", "1.0");
    const std::string text = read_file(log_file());
    ASSERT_GE(text.size(), 19u);
    SYSTEMTIME logged = {};
    logged.wYear = static_cast<WORD>(atoi(text.substr(0, 4).c_str()));
    logged.wMonth = static_cast<WORD>(atoi(text.substr(5, 2).c_str()));
    logged.wDay = static_cast<WORD>(atoi(text.substr(8, 2).c_str()));
    logged.wHour = static_cast<WORD>(atoi(text.substr(11, 2).c_str()));
    logged.wMinute = static_cast<WORD>(atoi(text.substr(14, 2).c_str()));
    logged.wSecond = static_cast<WORD>(atoi(text.substr(17, 2).c_str()));
    FILETIME a;
    FILETIME b;
    before.wMilliseconds = 0;
    ASSERT_TRUE(SystemTimeToFileTime(&before, &a));
    ASSERT_TRUE(SystemTimeToFileTime(&logged, &b));
    const auto ticks = [](const FILETIME& t) {
        return (static_cast<long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    const long long seconds = (ticks(b) - ticks(a)) / 10000000;
    EXPECT_GE(seconds, 0);
    EXPECT_LE(seconds, 5);
}

TEST_F(UpdateLog, AFileExactlyAtTheBoundIsAppendedTo) {
    const std::string old(bound, 'o');
    ASSERT_TRUE(write_file(log_file(), old));
    log_line("check failed: %s", "timeout");
    const std::string text = read_file(log_file());
    ASSERT_GT(text.size(), bound);
    EXPECT_EQ(text.substr(0, bound), old);
    EXPECT_EQ(message_of(text.substr(bound)), "check failed: timeout");
}

TEST_F(UpdateLog, OneByteOverTheBoundStartsAfresh) {
    ASSERT_TRUE(write_file(log_file(), std::string(bound + 1, 'o')));
    log_line("staged %s", "2.5.0");
    EXPECT_EQ(message_of(read_file(log_file())), "staged 2.5.0");
}

TEST_F(UpdateLog, AnOverlongMessageIsWrittenWholeAndTheNextLineStartsAfresh) {
    const std::string huge(bound + 1000, 'm');
    log_line("%s", huge.c_str());
    EXPECT_EQ(message_of(read_file(log_file())), huge);
    log_line("updater self-upgraded from app-%s", "3.0");
    EXPECT_EQ(message_of(read_file(log_file())), "updater self-upgraded from app-3.0");
}

TEST_F(UpdateLog, AnUnopenableLogIsSilentlySkipped) {
    ASSERT_TRUE(CreateDirectoryW(log_file().c_str(), nullptr));
    const int entries_before = dir_entry_count(root_dir());
    log_line("installed %s", "1.0");
    EXPECT_TRUE(is_directory(log_file()));
    EXPECT_EQ(dir_entry_count(log_file()), 0);
    EXPECT_EQ(dir_entry_count(root_dir()), entries_before);
}

} // namespace
