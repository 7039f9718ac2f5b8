#include "state/file_tree.h"
#include "state/paths.h"
#include "support/test_support.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

TEST(RmTree, MissingPathOrPlainFileIsLeftAloneAndFails) {
    ScratchDir scratch(L"rm");
    EXPECT_FALSE(rm_tree(scratch / L"missing"));

    const std::wstring file = scratch / L"plain.txt";
    ASSERT_TRUE(write_file(file, "keep"));
    EXPECT_FALSE(rm_tree(file));
    EXPECT_EQ(read_file(file), "keep");
}

// rm_path takes whatever stands at a name: nothing, a read-only file or a tree; a file
// held open stays, and says so.
TEST(RmPath, RemovesAFileOrATreeAndSaysWhetherAnythingIsLeft) {
    ScratchDir scratch(L"rm");
    EXPECT_TRUE(rm_path(scratch / L"missing"));
    const std::wstring file = scratch / L"staging-tmp";
    ASSERT_TRUE(write_file(file, "a file where a folder belongs"));
    ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(rm_path(file));
    EXPECT_FALSE(file_exists(file));
    ASSERT_TRUE(CreateDirectoryW(file.c_str(), nullptr));
    ASSERT_TRUE(write_file(file + L"\\x.txt", "x"));
    EXPECT_TRUE(rm_path(file));
    EXPECT_FALSE(file_exists(file));

    ASSERT_TRUE(write_file(file, "held"));
    const HANDLE held = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(rm_path(file));
    CloseHandle(held);
    EXPECT_TRUE(flush_file(file));
    EXPECT_TRUE(rm_path(file));
    EXPECT_FALSE(flush_file(file));
}

TEST(RmTree, RemovesANestedTreeWithReadOnlyAndHiddenFiles) {
    ScratchDir scratch(L"rm");
    const std::wstring top = scratch / L"tree";
    ASSERT_TRUE(CreateDirectoryW(top.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((top + L"\\a").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((top + L"\\a\\b").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((top + L"\\empty").c_str(), nullptr));
    ASSERT_TRUE(write_file(top + L"\\one.txt", "1"));
    ASSERT_TRUE(write_file(top + L"\\a\\b\\readonly.dll", "2"));
    ASSERT_TRUE(write_file(top + L"\\a\\hidden.ini", "3"));
    ASSERT_TRUE(
        SetFileAttributesW((top + L"\\a\\b\\readonly.dll").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesW((top + L"\\a\\hidden.ini").c_str(),
                                   FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));

    EXPECT_TRUE(rm_tree(top));
    EXPECT_EQ(GetFileAttributesW(top.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(RmTree, EmptyDirectoryIsRemoved) {
    ScratchDir scratch(L"rm");
    const std::wstring top = scratch / L"empty";
    ASSERT_TRUE(CreateDirectoryW(top.c_str(), nullptr));
    EXPECT_TRUE(rm_tree(top));
    EXPECT_FALSE(is_directory(top));
}

TEST(RmTree, AFileHeldOpenStopsOnlyItsAncestors) {
    ScratchDir scratch(L"rm");
    const std::wstring top = scratch / L"tree";
    const std::wstring sub = top + L"\\sub";
    ASSERT_TRUE(CreateDirectoryW(top.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((top + L"\\other").c_str(), nullptr));
    ASSERT_TRUE(write_file(top + L"\\before.txt", "x"));
    ASSERT_TRUE(write_file(sub + L"\\sibling.txt", "x"));
    ASSERT_TRUE(write_file(top + L"\\other\\deep.txt", "x"));
    ASSERT_TRUE(write_file(sub + L"\\held.txt", "x"));

    // Open without delete sharing, as a running program holds its own files.
    const HANDLE held = CreateFileW((sub + L"\\held.txt").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const bool removed = rm_tree(top);
    CloseHandle(held);

    EXPECT_FALSE(removed);
    EXPECT_TRUE(is_directory(top));
    EXPECT_TRUE(is_directory(sub));
    EXPECT_EQ(read_file(sub + L"\\held.txt"), "x");
    EXPECT_EQ(GetFileAttributesW((sub + L"\\sibling.txt").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW((top + L"\\before.txt").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(is_directory(top + L"\\other"));
}

TEST(FileTree, LinksToFoldersAreNeverFollowed) {
    ScratchDir scratch(L"link");
    const std::wstring outside = scratch / L"outside";
    const std::wstring tree = scratch / L"tree";
    ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(tree.c_str(), nullptr));
    ASSERT_TRUE(write_file(outside + L"\\keep.txt", "outside data"));
    ASSERT_TRUE(write_file(tree + L"\\own.txt", "own"));
    if (!make_folder_link(tree + L"\\link", outside)) {
        GTEST_SKIP() << "no folder links can be made here";
    }

    EXPECT_EQ(dir_size(tree), 3u);
    rm_tree(tree);
    EXPECT_FALSE(file_exists(tree + L"\\own.txt"));
    EXPECT_EQ(read_file(outside + L"\\keep.txt"), "outside data");
    // Wine cannot remove a Unix link through the Windows calls.
    remove_folder_link(tree + L"\\link");

    // A link given as the path itself, as one planted at a folder name the program
    // empties would be: only the link may go, never what it points to, at any depth.
    ASSERT_TRUE(CreateDirectoryW((outside + L"\\sub").c_str(), nullptr));
    ASSERT_TRUE(write_file(outside + L"\\sub\\deep.txt", "deep"));
    const std::wstring planted = scratch / L"planted";
    ASSERT_TRUE(make_folder_link(planted, outside));
    const bool removed = rm_tree(planted);
    EXPECT_EQ(removed, GetFileAttributesW(planted.c_str()) == INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(read_file(outside + L"\\keep.txt"), "outside data");
    EXPECT_EQ(read_file(outside + L"\\sub\\deep.txt"), "deep");
    EXPECT_EQ(dir_entry_count(outside), 2);
    if (!removed) {
        remove_folder_link(planted);
    }

    // An empty folder behind a link, given as the path or found in the tree, stays too
    // (Wine, asked to remove such a link by name, removes the folder instead).
    const std::wstring empty = scratch / L"empty";
    const std::wstring tree2 = scratch / L"tree2";
    ASSERT_TRUE(CreateDirectoryW(empty.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(tree2.c_str(), nullptr));
    ASSERT_TRUE(make_folder_link(planted, empty));
    ASSERT_TRUE(make_folder_link(tree2 + L"\\link", empty));
    rm_tree(planted);
    rm_tree(tree2);
    EXPECT_TRUE(is_directory(empty));
    for (const std::wstring& link : {planted, tree2 + L"\\link"}) {
        if (GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES) {
            remove_folder_link(link);
        }
    }
}

TEST(DirSize, SumsFilesAtEveryDepth) {
    ScratchDir scratch(L"size");
    EXPECT_EQ(dir_size(scratch / L"missing"), 0u);
    EXPECT_EQ(dir_size(scratch.path), 0u);

    ASSERT_TRUE(CreateDirectoryW((scratch / L"a").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((scratch / L"a\\b").c_str(), nullptr));
    ASSERT_TRUE(write_file(scratch / L"top.bin", std::string(1000, 'x')));
    ASSERT_TRUE(write_file(scratch / L"a\\mid.bin", std::string(23, 'x')));
    ASSERT_TRUE(write_file(scratch / L"a\\b\\deep.bin", std::string(70000, 'x')));
    ASSERT_TRUE(write_file(scratch / L"a\\b\\empty.bin", ""));
    EXPECT_EQ(dir_size(scratch.path), 71023u);
    EXPECT_EQ(dir_size(scratch / L"a"), 70023u);
}

TEST(DirSize, CountsFilesBeyondFourGibibytesInFull) {
    ScratchDir scratch(L"size");
    const uint64_t five_gib = 5ull << 30;
    // A sparse file: its logical size is what counts, and it costs no disk space.
    const HANDLE file = CreateFileW((scratch / L"big.bin").c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(five_gib);
    const bool sized = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    ASSERT_TRUE(sized);
    ASSERT_TRUE(write_file(scratch / L"small.bin", "12345"));

    EXPECT_EQ(dir_size(scratch.path), 5368709120u + 5u);
}

TEST(EnsureParentDirs, CreatesEachFolderBeforeTheLastComponent) {
    ScratchDir scratch(L"dirs");
    ensure_parent_dirs(scratch.path, L"a\\b\\c.txt");
    EXPECT_TRUE(is_directory(scratch / L"a"));
    EXPECT_TRUE(is_directory(scratch / L"a\\b"));
    EXPECT_FALSE(file_exists(scratch / L"a\\b\\c.txt"));

    // A directory entry ends in a backslash: every folder it names is created.
    ensure_parent_dirs(scratch.path, L"x\\y\\");
    EXPECT_TRUE(is_directory(scratch / L"x\\y"));
    // Again, over folders that exist: harmless.
    ensure_parent_dirs(scratch.path, L"a\\b\\c.txt");
    EXPECT_TRUE(is_directory(scratch / L"a\\b"));
}

TEST(EnsureParentDirs, NameWithoutBackslashCreatesNothing) {
    ScratchDir scratch(L"dirs");
    ensure_parent_dirs(scratch.path, L"file.txt");
    EXPECT_EQ(dir_entry_count(scratch.path), 0);
}

} // namespace
