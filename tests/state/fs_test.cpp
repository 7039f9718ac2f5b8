#include "state/file_tree.h"
#include "state/fs.h"
#include "state/paths.h"
#include "support/test_support.h"

#include <windows.h>

#include <process.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(PathExtended, DrivesAndSharesTakeTheLongFormWithDotsResolved) {
    const struct {
        const wchar_t* path;
        const wchar_t* extended;
    } rows[] = {
        {L"C:\\Users\\a\\file.txt", L"\\\\?\\C:\\Users\\a\\file.txt"},
        {L"c:/users/a/./b/../file.txt", L"\\\\?\\c:\\users\\a\\file.txt"},
        {L"C:\\a\\\\b\\", L"\\\\?\\C:\\a\\b"},
        {L"C:\\..\\..\\a", L"\\\\?\\C:\\a"}, // never above the drive
        {L"C:\\", L"\\\\?\\C:\\"},
        {L"C:\\a\\..", L"\\\\?\\C:\\"},
        {L"\\\\server\\share\\a\\b.txt", L"\\\\?\\UNC\\server\\share\\a\\b.txt"},
        {L"\\\\server\\share\\a\\..\\..\\..\\b", L"\\\\?\\UNC\\server\\share\\b"}, // nor the share
        {L"//server/share/a", L"\\\\?\\UNC\\server\\share\\a"},
        // Already in a form the system takes as it is, or not absolute: unchanged.
        {L"\\\\?\\C:\\a\\..\\b", L"\\\\?\\C:\\a\\..\\b"},
        {L"\\\\?\\UNC\\server\\share\\a", L"\\\\?\\UNC\\server\\share\\a"},
        {L"\\\\.\\pipe\\name", L"\\\\.\\pipe\\name"},
        {L"relative\\a.txt", L"relative\\a.txt"},
        {L"\\from\\the\\drive", L"\\from\\the\\drive"},
        {L"", L""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(path_extended(row.path), row.extended) << row.path;
    }
}

// A path far past the 260 characters of the ordinary form: made, written, listed and
// removed through the file operations. (Wine holds no path to that limit, so here this
// shows that the long form reaches the system intact.)
TEST(FileOperations, WorkBelowFoldersNestedPastTheOrdinaryLimit) {
    ScratchDir scratch(L"fs");
    std::wstring folder = scratch.path;
    for (int i = 0; i < 8; ++i) {
        folder += L"\\level-" + std::to_wstring(i) + L"-" + std::wstring(40, L'x');
        ASSERT_TRUE(fs_make_folder(folder)) << GetLastError();
    }
    const std::wstring file = folder + L"\\deepest.txt";
    ASSERT_GT(file.size(), 400u);
    const HANDLE out = fs_open(file, GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(fs_write_all(out, "deep", 4));
    CloseHandle(out);
    uint64_t size = 0;
    EXPECT_TRUE(fs_size(file, size));
    EXPECT_EQ(size, 4u);
    EXPECT_TRUE(fs_copy(file, folder + L"\\copy.txt", false));
    EXPECT_TRUE(fs_rename(folder + L"\\copy.txt", folder + L"\\renamed.txt"));
    std::vector<std::wstring> names;
    EXPECT_TRUE(fs_list(folder + L"\\*", [&](const WIN32_FIND_DATAW& entry) {
        names.push_back(entry.cFileName);
        return true;
    }));
    EXPECT_EQ(names.size(), 2u);
    EXPECT_TRUE(rm_tree(scratch.path + L"\\level-0-" + std::wstring(40, L'x')));
    EXPECT_EQ(fs_attributes(file), INVALID_FILE_ATTRIBUTES);
}

// Another program's hold on a file, let go of after `ms` milliseconds.
struct Hold {
    HANDLE file;
    DWORD ms;
};

unsigned __stdcall let_go_later(void* argument) {
    const Hold& hold = *static_cast<Hold*>(argument);
    Sleep(hold.ms);
    CloseHandle(hold.file);
    return 0;
}

// Opens `path` as a scanner does, others let read only, and lets go after `ms`.
HANDLE hold_for(const std::wstring& path, DWORD ms, Hold& hold) {
    hold.file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    hold.ms = ms;
    return reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, let_go_later, &hold, 0, nullptr));
}

TEST(FileOperations, WaitForAHoldThatEndsWithinTheirTime) {
    ScratchDir scratch(L"fs");
    const std::wstring file = scratch / L"new.exe";
    const struct {
        const char* what;
        bool (*operation)(const std::wstring& file, const std::wstring& other);
    } rows[] = {
        {"delete", [](const std::wstring& f, const std::wstring&) { return fs_delete(f); }},
        {"rename", [](const std::wstring& f, const std::wstring& o) { return fs_rename(f, o); }},
        {"replace", [](const std::wstring& f, const std::wstring& o) { return fs_replace(f, o); }},
        {"open for writing",
         [](const std::wstring& f, const std::wstring&) {
             const HANDLE h = fs_open(f, GENERIC_WRITE, 0, OPEN_EXISTING);
             return h != INVALID_HANDLE_VALUE && CloseHandle(h);
         }},
    };
    for (const auto& row : rows) {
        ASSERT_TRUE(write_file(file, "fresh"));
        ASSERT_TRUE(write_file(scratch / L"other.exe", "older"));
        fs_delete(scratch / L"other.exe");
        if (std::string(row.what) == "replace") {
            ASSERT_TRUE(write_file(scratch / L"other.exe", "older"));
        }
        Hold hold;
        const HANDLE thread = hold_for(file, 300, hold);
        ASSERT_NE(hold.file, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(row.operation(file, scratch / L"other.exe")) << row.what << GetLastError();
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        fs_delete(file);
        fs_delete(scratch / L"other.exe");
    }
}

TEST(FileOperations, GiveUpOnAHoldLongerThanTheirTimeWithTheSystemsError) {
    ScratchDir scratch(L"fs");
    const std::wstring file = scratch / L"held.dll";
    ASSERT_TRUE(write_file(file, "held"));
    const HANDLE held = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const ULONGLONG began = GetTickCount64();
    EXPECT_FALSE(fs_delete(file, FsWait::once));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(fs_delete(file));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_GE(GetTickCount64() - began, 5000u); // it did wait, about 5 seconds
    CloseHandle(held);
    EXPECT_EQ(read_file(file), "held");
    EXPECT_TRUE(fs_delete(file));
    EXPECT_TRUE(fs_delete(file)); // nothing there: nothing left to remove
}

TEST(FileOperations, OtherFailuresAreNotWaitedFor) {
    ScratchDir scratch(L"fs");
    ASSERT_TRUE(write_file(scratch / L"a.txt", "a"));
    ASSERT_TRUE(write_file(scratch / L"b.txt", "b"));
    EXPECT_FALSE(fs_rename(scratch / L"a.txt", scratch / L"b.txt"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(fs_copy(scratch / L"missing.txt", scratch / L"c.txt", true));
    EXPECT_EQ(fs_attributes(scratch / L"c.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(fs_copy(scratch / L"a.txt", scratch / L"b.txt", false));
    EXPECT_EQ(read_file(scratch / L"b.txt"), "b"); // refused, and left as it was
    ASSERT_TRUE(SetFileAttributesW((scratch / L"a.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(fs_delete(scratch / L"a.txt")); // read-only is no hold
}

TEST(FileOperations, AFullDiskSaysWhatIsNeededAndWhatIsFree) {
    ScratchDir scratch(L"fs");
    std::wstring error;
    EXPECT_TRUE(fs_room_for(scratch.path, 1, error));
    EXPECT_FALSE(fs_room_for(scratch.path, uint64_t{1} << 62, error));
    uint64_t free = 0;
    ASSERT_TRUE(fs_free_bytes(scratch.path, free));
    const std::wstring drive = scratch.path.substr(0, 2);
    // 2^62 bytes are 2^42 MB; what is free is rounded down, what is needed up.
    const std::wstring start = L"not enough disk space: needs 4398046511104 MB on " + drive + L", ";
    EXPECT_EQ(error.substr(0, start.size()), start);
    EXPECT_EQ(error.substr(start.size()), std::to_wstring(free / 1048576) + L" MB free");
    // A volume that cannot say how much is free.
    EXPECT_EQ(fs_room_error(L"Q:\\nowhere", 1048577),
              L"not enough disk space: needs 2 MB on Q:, ? MB free");
    EXPECT_TRUE(fs_disk_full(ERROR_DISK_FULL));
    EXPECT_TRUE(fs_disk_full(ERROR_HANDLE_DISK_FULL));
    EXPECT_FALSE(fs_disk_full(ERROR_ACCESS_DENIED));
}

} // namespace
