#include "update/test_server.h"
#include "update/transfer.h"

#include "state/paths.h"
#include "state/text.h"
#include "state/win_err.h"

#include <cstring>
#include <gtest/gtest.h>
#include <iterator>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

namespace {

std::wstring text_error(const std::wstring& url, std::string* body = nullptr) {
    std::string text;
    std::wstring error;
    const bool ok = http_get_text(url, text, error);
    if (body != nullptr) {
        *body = text;
    }
    return ok ? L"" : error;
}

struct Download {
    std::wstring error;
    std::vector<std::pair<uint64_t, uint64_t>> calls;
    std::string bytes;
    bool exists = false;
};

Download download(const std::wstring& url, const std::wstring& path, uint64_t size = 0) {
    Download result;
    const Progress record = [&result](uint64_t received, uint64_t total) {
        result.calls.emplace_back(received, total);
    };
    if (!http_get_file(url, path, size, record, result.error)) {
        EXPECT_NE(result.error, L"");
    }
    result.bytes = read_file(path, &result.exists);
    return result;
}

TEST(WinErr, FormatsTextAndCode) {
    EXPECT_EQ(win_err(L"connect failed", 12029), L"connect failed (error 12029)");
    EXPECT_EQ(win_err(L"server returned HTTP", 4294967295u),
              L"server returned HTTP (error 4294967295)");
    EXPECT_EQ(win_err(std::wstring(300, L'x').c_str(), 1).size(), 159u);
}

TEST(OpenRequest, UrlsThatCannotBeSplitAreBadUrls) {
    const std::wstring long_host = L"https://" + std::wstring(256, L'h') + L"/x";
    for (const std::wstring& url : {std::wstring(L"no url"), std::wstring(L""), long_host}) {
        EXPECT_EQ(text_error(url), L"bad URL: " + url);
    }
    // A path of any length reaches the network: a signed address is never cut.
    EXPECT_EQ(text_error(server_url(L"/" + std::wstring(3000, L'p'))),
              L"server returned HTTP (error 404)");
}

TEST(OpenRequest, EveryStatusButOkFails) {
    EXPECT_EQ(text_error(server_url(L"/status/404")), L"server returned HTTP (error 404)");
    EXPECT_EQ(text_error(server_url(L"/status/500")), L"server returned HTTP (error 500)");
    EXPECT_EQ(text_error(server_url(L"/status/204")), L"server returned HTTP (error 204)");
    EXPECT_EQ(text_error(server_url(L"/status/206")), L"server returned HTTP (error 206)");
    EXPECT_EQ(text_error(server_url(L"/status/304")), L"server returned HTTP (error 304)");
    EXPECT_EQ(text_error(server_url(L"/status/300")), L"server returned HTTP (error 300)");
    // A redirect that cannot be followed: Windows hands back the status; Wine fails the
    // request itself (12150 without a Location, 12156 for a step down to plain HTTP).
    const std::wstring no_location = text_error(server_url(L"/status/301"));
    EXPECT_TRUE(no_location == L"server returned HTTP (error 301)" ||
                no_location == L"download failed (error 12150)")
        << no_location;
    const std::wstring to_plain = text_error(server_url(L"/status/301/to-plain-http"));
    EXPECT_TRUE(to_plain == L"server returned HTTP (error 301)" ||
                to_plain == L"download failed (error 12156)")
        << to_plain;
}

TEST(OpenRequest, UnreachableOrUntrustedServersFailTheDownload) {
    EXPECT_EQ(text_error(L"https://localhost:1/latest.json"), L"download failed (error 12029)");
    // TLS spoken to a plain HTTP port.
    const std::wstring tls_to_plain = L"https" + server_url(L"/body/1", false).substr(4);
    EXPECT_EQ(text_error(tls_to_plain).rfind(L"download failed (error ", 0), 0u);
}

TEST(HttpGetText, SendsTheUserAgentAndSpeaksPlainHttpOnTheGivenPort) {
    std::string body;
    ASSERT_EQ(text_error(server_url(L"/agent", false), &body), L"");
    EXPECT_EQ(body, "BrindlewickSetup/1.1.0");
    ASSERT_EQ(text_error(server_url(L"/agent"), &body), L"");
    EXPECT_EQ(body, "BrindlewickSetup/1.1.0");
}

TEST(HttpGetText, TakesExactlyTheCapAndNoMore) {
    std::string body;
    ASSERT_EQ(text_error(server_url(L"/body/1048576"), &body), L"");
    EXPECT_EQ(body, pattern(1048576));
    EXPECT_EQ(text_error(server_url(L"/body/1048577"), &body), L"manifest too large");
    EXPECT_GT(body.size(), 1048576u);
}

// A body cut short is a failed download, never a text that would then fail its
// signature check as if tampered with: closed early, the length tells; reset, the read
// fails (or, where the reset is taken for the end, the length tells). Without a length,
// the end of the connection is the end of the body.
TEST(HttpGetText, ABodyCutShortFailsAsADownloadAndOneWithoutALengthEndsAtTheClose) {
    std::string body;
    EXPECT_EQ(text_error(server_url(L"/length/4000/1500"), &body), L"download truncated");
    const std::wstring reset = text_error(server_url(L"/drop/4000/2500"), &body);
    EXPECT_TRUE(reset == L"download truncated" || reset.rfind(L"download failed (error ", 0) == 0)
        << reset;
    ASSERT_EQ(text_error(server_url(L"/no-length/3000"), &body), L"");
    EXPECT_EQ(body, pattern(3000));
    // Lengths are read as for files.
    EXPECT_EQ(text_error(server_url(L"/raw-length/5,7/7")), L"Content-Length headers disagree");
    ASSERT_EQ(text_error(server_url(L"/raw-length/5,5/5"), &body), L"");
    EXPECT_EQ(body, pattern(5));
}

TEST(HttpGetFile, ReportsProgressUpToTheFileSize) {
    ScratchDir scratch(L"get");
    const std::string expected = read_file(update_fixture(L"www\\package.bin"));
    const Download d = download(server_url(L"/files/package.bin"), scratch / L"p.zip");
    ASSERT_EQ(d.error, L"");
    EXPECT_EQ(d.bytes, expected);
    ASSERT_FALSE(d.calls.empty());
    for (size_t i = 0; i < d.calls.size(); ++i) {
        EXPECT_EQ(d.calls[i].second, expected.size());
        EXPECT_GT(d.calls[i].first, i ? d.calls[i - 1].first : 0);
    }
    EXPECT_EQ(d.calls.back().first, expected.size());

    // The same without a callback, over a slow trickle.
    std::wstring error;
    ASSERT_TRUE(
        http_get_file(server_url(L"/trickle/5000/8/100"), scratch / L"slow", 0, Progress(), error))
        << error;
    EXPECT_EQ(read_file(scratch / L"slow"), pattern(5000));
}

TEST(HttpGetFile, WithoutALengthAnythingIsAccepted) {
    ScratchDir scratch(L"get");
    Download d = download(server_url(L"/no-length/70000"), scratch / L"a");
    ASSERT_EQ(d.error, L"");
    EXPECT_EQ(d.bytes, pattern(70000));
    ASSERT_FALSE(d.calls.empty());
    for (const auto& call : d.calls) {
        EXPECT_EQ(call.second, 0u);
    }
    d = download(server_url(L"/body/0"), scratch / L"b"); // Content-Length: 0
    EXPECT_EQ(d.error, L"");
    EXPECT_TRUE(d.exists);
    EXPECT_TRUE(d.calls.empty());
}

// Closed early, the length tells; reset, the read fails (Wine passes on the socket's
// 10054), or, where the reset is taken for the end, the length tells.
TEST(HttpGetFile, ALengthNotMetLeavesNoFile) {
    ScratchDir scratch(L"get");
    for (const wchar_t* path : {L"/length/200000/100000", L"/drop/200000/150000"}) {
        const Download d = download(server_url(path), scratch / L"p.zip");
        const bool reset = path[1] == L'd';
        EXPECT_TRUE(d.error == L"download truncated" ||
                    (reset && d.error.rfind(L"download failed (error ", 0) == 0))
            << path << " " << d.error;
        EXPECT_FALSE(d.exists) << path;
    }
}

TEST(HttpGetFile, ProgressComesAsBytesArrive) {
    ScratchDir scratch(L"get");
    const Download d = download(server_url(L"/drip/6/150"), scratch / L"p.zip");
    ASSERT_EQ(d.error, L"");
    ASSERT_GT(d.calls.size(), 2u); // not one call at the end
    for (size_t i = 1; i < d.calls.size(); ++i) {
        EXPECT_GT(d.calls[i].first, d.calls[i - 1].first);
    }
    EXPECT_EQ(d.calls.back(), std::make_pair(uint64_t{6}, uint64_t{6}));
}

TEST(HttpGetFile, LengthsMustBeReadAsTheyAreAndAgree) {
    ScratchDir scratch(L"get");
    // Zero-padded: read whole, so that half the body is not taken for all of it.
    const std::wstring padded = L"/raw-length/" + std::wstring(34, L'0') + L"10/5";
    EXPECT_EQ(download(server_url(padded), scratch / L"a").error, L"download truncated");
    EXPECT_EQ(download(server_url(L"/raw-length/99999999999999999999999/5"), scratch / L"b").error,
              L"bad Content-Length");
    EXPECT_EQ(download(server_url(L"/raw-length/5,7/7"), scratch / L"c").error,
              L"Content-Length headers disagree");
    Download d = download(server_url(L"/raw-length/5,5/5"), scratch / L"d");
    EXPECT_EQ(d.error, L"");
    EXPECT_EQ(d.bytes, pattern(5));
    for (const wchar_t* name : {L"a", L"b", L"c"}) {
        EXPECT_FALSE(file_exists(scratch / name)) << name;
    }
}

TEST(HttpGetFile, TheSizeAManifestGivesIsHeldTo) {
    ScratchDir scratch(L"get");
    // Known without a Content-Length: the bar can show a percentage.
    Download d = download(server_url(L"/no-length/70000"), scratch / L"a", 70000);
    ASSERT_EQ(d.error, L"");
    EXPECT_EQ(d.bytes, pattern(70000));
    EXPECT_EQ(d.calls.back(), std::make_pair(uint64_t{70000}, uint64_t{70000}));
    for (uint64_t size : {50000, 90000}) {
        d = download(server_url(L"/no-length/70000"), scratch / L"b", size);
        EXPECT_EQ(d.error, L"download truncated") << size;
        EXPECT_FALSE(d.exists) << size;
    }
    EXPECT_EQ(download(server_url(L"/body/100"), scratch / L"c", 99).error,
              L"download size differs from the manifest");
    d = download(server_url(L"/body/100"), scratch / L"d", uint64_t{1} << 62);
    // 2^62 bytes are 2^42 MB; the volume is the scratch folder's drive.
    EXPECT_EQ(d.error.rfind(L"not enough disk space: needs 4398046511104 MB on " +
                                scratch.path.substr(0, 2) + L", ",
                            0),
              0u)
        << d.error;
    EXPECT_FALSE(d.exists);
}

// Each waits the 30 seconds once, side by side: silence before the headers or in a
// body, and headers or a chunk's size line that come a byte a second. The last two end
// after 40 seconds, when the transfers given up on are to end and undo what they made.
TEST(Transfers, NoneWaitsLongerThan30SecondsForTheServer) {
    const std::wstring headers_late = L"download failed (error 12002)";
    struct Case {
        const wchar_t* route;
        bool file;
        std::wstring expected, error = L"";
        double seconds = 0;
    } cases[] = {{L"/silent/45", false, headers_late},
                 {L"/drip/10/45000", true, L"download stalled"},
                 {L"/drip-headers/1000", false, headers_late},
                 {L"/drip-headers/1000", true, headers_late},
                 {L"/drip-chunk-size/1000/40", true, L"download stalled"}};
    ScratchDir scratch(L"get");
    const ULONGLONG start = GetTickCount64();
    std::vector<std::thread> threads;
    for (Case& c : cases) {
        const std::wstring path = scratch / std::to_wstring(&c - cases);
        threads.emplace_back([&c, path, start] {
            std::string text;
            if (c.file) {
                http_get_file(server_url(c.route), path, 0, Progress(), c.error);
            } else {
                http_get_text(server_url(c.route), text, c.error);
            }
            c.seconds = static_cast<double>(GetTickCount64() - start) / 1000;
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const Case& c : cases) {
        EXPECT_EQ(c.error, c.expected) << c.route;
        EXPECT_GE(c.seconds, 29) << c.route;
        EXPECT_LT(c.seconds, 40) << c.route;
    }
    Sleep(static_cast<DWORD>(start + 50000 - GetTickCount64()));
    EXPECT_EQ(dir_entry_count(scratch.path), 0);
}

TEST(HttpGetText, AnEndlessBodyStopsAtTheCap) {
    EXPECT_EQ(text_error(server_url(L"/endless")), L"manifest too large");
}

TEST(HttpGetFile, FailuresBeforeTheBodyCreateNothing) {
    ScratchDir scratch(L"get");
    Download d = download(server_url(L"/status/404"), scratch / L"p.zip");
    EXPECT_EQ(d.error, L"server returned HTTP (error 404)");
    EXPECT_FALSE(d.exists);

    const std::wstring missing = scratch / L"missing\\p.zip";
    d = download(server_url(L"/body/10"), missing);
    EXPECT_EQ(d.error, L"cannot write " + missing);
    EXPECT_FALSE(file_exists(scratch / L"missing"));
}

// "STATUS:SENT ..." as the server logged it, "*" for a count not known (a response left
// unread, whose writes may or may not have failed).
std::string sent_to(const std::string& route, bool nginx, size_t earlier,
                    const std::string& expected) {
    std::istringstream tokens(expected);
    const std::vector<std::string> wanted{std::istream_iterator<std::string>(tokens), {}};
    const auto sent = responses_when(route, earlier + wanted.size(), nginx);
    std::string text;
    for (size_t i = earlier; i < sent.size(); ++i) {
        const size_t at = i - earlier;
        const bool unknown = at < wanted.size() && wanted[at].back() == '*';
        text += (at > 0 ? " " : "") + std::to_string(sent[i].first) + ":" +
                (unknown ? "*" : std::to_string(sent[i].second));
    }
    return text;
}

// What a download cut short leaves, and what the next call makes of it. Each row: the
// route (nginx's when it starts "/package"), how many bytes of the body are kept and
// with which validator file, the size the manifest gives; then what the call must end
// with: how its error starts, the bytes of the body in the file, the validator file,
// whether it resumed, what the server sent. T, M: the server's tag and date; C: a tag cut
// short by a crash (no line end); G: nginx's tag. Progress counts from what was kept.
TEST(HttpResumeFile, GoesOnFromWhatItKeptWhenTheServerAllowsAndStartsAgainOtherwise) {
    const std::string T = "\"p200000-0\"\n";
    const std::string M = "Sun, 13 Sep 2020 12:26:40 GMT\n";
    const std::string C = "\"p200000-0\"";
    const std::string G = "nginx";
    const std::string nginx_body = read_file(update_fixture(L"www\\package.bin"));
    const uint64_t n = nginx_body.size();
    const std::string nginx_rest = "206:" + std::to_string(n - 1000000);
    const std::string nginx_whole = "200:" + std::to_string(n);
    struct Row {
        std::string route;
        size_t kept;
        std::string validator;
        uint64_t size;
        std::wstring error;
        size_t file;
        std::string validator_after;
        bool resumed;
        std::string sent;
    } rows[] = {
        {"/ranged/200000/cut=80000/drops", 0, "", 200000, L"", 200000, T, true,
         "200:80000 206:80000 206:40000"},
        {"/ranged/200000/-/kept", 100000, T, 200000, L"", 200000, T, true, "206:100000"},
        {"/ranged/200000/tag=7/changed", 100000, T, 200000, L"", 200000, "\"p200000-7\"\n", false,
         "200:200000"},
        {"/ranged/200000/noetag/dated", 100000, M, 200000, L"", 200000, M, true, "206:100000"},
        {"/ranged/200000/weak,cut=150000/weak", 0, "", 200000, L"", 200000, M, true,
         "200:150000 206:50000"},
        {"/ranged/200000/norange/norange", 100000, T, 200000, L"", 200000, T, false, "200:200000"},
        {"/ranged/200000/badrange/badrange", 100000, T, 200000, L"", 200000, T, false,
         "206:* 200:200000"},
        {"/ranged/50000/-/past-end", 100000, "\"p50000-0\"\n", 0, L"", 50000, "\"p50000-0\"\n",
         false, "416:0 200:50000"},
        {"/ranged/200000/-/too-long", 250000, T, 200000, L"", 200000, T, false, "200:200000"},
        {"/ranged/200000/-/unnamed", 100000, "", 200000, L"", 200000, T, false, "200:200000"},
        {"/ranged/200000/-/cut-name", 100000, C, 200000, L"", 200000, T, false, "200:200000"},
        {"/ranged/200000/noetag,nolm,cut=150000/unnamed-drops", 0, "", 200000,
         L"download truncated|download failed (error ", 150000, "", false,
         "200:150000 200:150000 200:150000 200:150000 200:150000"},
        {"/status/500", 100000, T, 200000, L"server returned HTTP (error 500)", 100000, T, false,
         ""},
        {"/ranged/200000/-/complete", 200000, "", 200000, L"", 200000, "", true, ""},
        {"/ranged/200000/-/held", 100000, T, 200000, L"download in use by another process", 100000,
         T, false, ""},
        {"/package.bin", 1000000, G, n, L"", n, G, true, nginx_rest},
        {"/package.bin?stale", 1000000, "\"stale\"\n", n, L"", n, G, false, nginx_whole},
    };
    ScratchDir scratch(L"resume");
    // nginx's own tag, as a download of the whole file keeps it.
    bool resumed = false;
    std::wstring error;
    ASSERT_TRUE(http_resume_file(nginx_url(L"/package.bin?prime"), scratch / L"n",
                                 scratch / L"n.validator", n, Progress(), resumed, error))
        << error;
    EXPECT_EQ(read_file(scratch / L"n"), nginx_body);
    const std::string nginx_tag = read_file(scratch / L"n.validator");
    EXPECT_EQ(nginx_tag.rfind("\"", 0), 0u) << nginx_tag; // an ETag, and a strong one
    const auto named = [&](const std::string& text) { return text == G ? nginx_tag : text; };
    const std::wstring path = scratch / L"p.partial";
    const std::wstring validator = scratch / L"p.validator";
    for (const Row& row : rows) {
        const bool nginx = row.route.rfind("/package", 0) == 0;
        const auto body = [&](size_t size) {
            return nginx ? nginx_body.substr(0, size)
                         : pattern(size, row.route.find("tag=7") != std::string::npos ? 7 : 0);
        };
        DeleteFileW(validator.c_str());
        ASSERT_TRUE(write_file(path, nginx ? nginx_body.substr(0, row.kept) : pattern(row.kept)));
        if (!row.validator.empty()) {
            ASSERT_TRUE(write_file(validator, named(row.validator)));
        }
        // Another process writing the file meanwhile.
        const HANDLE other = row.route.find("held") != std::string::npos
                                 ? CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                               nullptr, OPEN_EXISTING, 0, nullptr)
                                 : INVALID_HANDLE_VALUE;
        const size_t earlier = responses_to(row.route, nginx).size(); // of an earlier run
        std::vector<std::pair<uint64_t, uint64_t>> calls;
        const Progress record = [&calls](uint64_t got, uint64_t total) {
            calls.emplace_back(got, total);
        };
        error.clear();
        const bool ok = http_resume_file(nginx ? nginx_url(utf8_to_w(row.route))
                                               : server_url(utf8_to_w(row.route)),
                                         path, validator, row.size, record, resumed, error);
        if (other != INVALID_HANDLE_VALUE) {
            CloseHandle(other);
        }
        const std::string& at = row.route;
        // A failure's text starts as the row says, or as its other choice after "|": a
        // reset may be taken for the body's end, and its code is the platform's.
        const size_t bar = row.error.find(L'|');
        EXPECT_EQ(ok, row.error.empty()) << at << " " << error;
        EXPECT_TRUE(ok || error.rfind(row.error.substr(0, bar), 0) == 0 ||
                    (bar != std::wstring::npos && error.rfind(row.error.substr(bar + 1), 0) == 0))
            << at << " " << error;
        bool exists = false;
        EXPECT_EQ(read_file(path, &exists) == body(row.file), true) << at;
        EXPECT_EQ(exists, row.file != 0) << at; // nothing came, nothing is left
        EXPECT_EQ(read_file(validator), named(row.validator_after)) << at;
        EXPECT_EQ(resumed, row.resumed) << at;
        if (ok) {
            ASSERT_FALSE(calls.empty()) << at;
            EXPECT_GE(calls.front().first, row.resumed ? row.kept : 0) << at;
            EXPECT_EQ(calls.back(), std::make_pair(uint64_t{row.file}, uint64_t{row.file})) << at;
        }
        EXPECT_EQ(sent_to(row.route, nginx, earlier, row.sent), row.sent) << at;
    }
}

// Bodies that this platform's client will not deliver, fed to the loop directly.
ChunkReader serve_pieces(std::vector<std::string> pieces, bool fail_at_end) {
    auto next = std::make_shared<size_t>(0);
    return [pieces, fail_at_end, next](void* buffer, DWORD size, DWORD* got) {
        *got = 0;
        if (*next == pieces.size()) {
            SetLastError(ERROR_WINHTTP_CONNECTION_ERROR); // a reset, when failing
            return !fail_at_end;
        }
        const std::string& piece = pieces[(*next)++];
        EXPECT_LE(piece.size(), size);
        std::memcpy(buffer, piece.data(), piece.size());
        *got = static_cast<DWORD>(piece.size());
        return true;
    };
}

// receive_file with the size it must have (0: any) and the most it may take.
bool receive(const ChunkReader& read, const std::wstring& path, uint64_t expected,
             std::wstring& error, uint64_t limit = 1u << 30, RateFloor floor = kRateFloor) {
    error.clear();
    return receive_file(read, path, expected, expected != 0 ? expected : limit, floor, Progress(),
                        EndClaim(), error);
}

TEST(ReceiveFile, MoreOrFewerBytesThanAnnouncedAreTruncationAndAFailedReadFails) {
    ScratchDir scratch(L"recv");
    const std::wstring path = scratch / L"p.zip";
    std::wstring error;
    EXPECT_FALSE(receive(serve_pieces({"abc", "def"}, false), path, 5, error));
    EXPECT_EQ(error, L"download truncated");
    EXPECT_FALSE(file_exists(path));
    EXPECT_FALSE(receive(serve_pieces({"abc"}, false), path, 5, error));
    EXPECT_EQ(error, L"download truncated");
    EXPECT_FALSE(file_exists(path));

    EXPECT_TRUE(receive(serve_pieces({"abc", "de"}, false), path, 5, error));
    EXPECT_EQ(read_file(path), "abcde");
    EXPECT_TRUE(receive(serve_pieces({"ab"}, false), path, 0, error));
    EXPECT_EQ(read_file(path), "ab");

    // A read that fails is a failed download with the transfer's own text, announced or
    // not, and even with every announced byte in: the body's end was never seen.
    const struct {
        std::vector<std::string> pieces;
        uint64_t expected;
    } failing[] = {{{"abc"}, 5}, {{"ab"}, 0}, {{"abc", "de"}, 5}};
    for (const auto& f : failing) {
        EXPECT_FALSE(receive(serve_pieces(f.pieces, true), path, f.expected, error));
        EXPECT_EQ(error, L"download failed (error 12030)") << f.expected;
        EXPECT_FALSE(file_exists(path)) << f.expected;
    }
}

// The caller's claim on the end is asked once, while the file would still go with its
// handle and no other writer can have the name; refused, the complete file goes with
// the handle, and nothing is deleted by name afterwards.
TEST(ReceiveFile, AFileIsKeptOnlyForACallerThatStillWaits) {
    ScratchDir scratch(L"recv");
    const std::wstring path = scratch / L"p.zip";
    for (const bool still_waits : {false, true}) {
        int asked = 0;
        bool other_writer_got_in = false;
        const EndClaim claim = [&] {
            ++asked;
            const HANDLE other =
                CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (other != INVALID_HANDLE_VALUE) {
                other_writer_got_in = true;
                CloseHandle(other);
            }
            return still_waits;
        };
        std::wstring error;
        const bool kept = receive_file(serve_pieces({"abc", "de"}, false), path, 5, 5, kRateFloor,
                                       Progress(), claim, error);
        EXPECT_EQ(asked, 1) << still_waits;
        EXPECT_FALSE(other_writer_got_in) << still_waits;
        EXPECT_EQ(kept, still_waits);
        if (still_waits) {
            EXPECT_EQ(read_file(path), "abcde");
            continue;
        }
        EXPECT_EQ(error, L"download given up");
        EXPECT_FALSE(file_exists(path));
        // The name is free for another writer once the transfer has let go.
        ASSERT_TRUE(write_file(path, "another writer's"));
        EXPECT_EQ(read_file(path), "another writer's");
        ASSERT_TRUE(DeleteFileW(path.c_str()));
    }
    // A body that fails needs no claim: its file goes with its handle.
    int asked = 0;
    std::wstring error;
    const EndClaim count = [&asked] { return ++asked > 0; };
    EXPECT_FALSE(receive_file(serve_pieces({"abc"}, true), path, 5, 5, kRateFloor, Progress(),
                              count, error));
    EXPECT_EQ(asked, 0);
    EXPECT_FALSE(file_exists(path));
}

// A body that never ends, and one that comes a byte at a time.
ChunkReader endless(DWORD piece, DWORD pause_ms, int* reads) {
    return [piece, pause_ms, reads](void* buffer, DWORD size, DWORD* got) {
        ++*reads;
        Sleep(pause_ms);
        *got = piece < size ? piece : size;
        std::memset(buffer, 'x', *got);
        return true;
    };
}

TEST(ReceiveFile, EveryBodyEnds) {
    ScratchDir scratch(L"recv");
    const std::wstring path = scratch / L"p.zip";
    std::wstring error;
    // Past the cap, or past the size given, it stops at once.
    int reads = 0;
    EXPECT_FALSE(receive(endless(400, 0, &reads), path, 0, error, 1000));
    EXPECT_EQ(error, L"download too large");
    EXPECT_EQ(reads, 3);
    EXPECT_FALSE(file_exists(path));
    reads = 0;
    EXPECT_FALSE(receive(endless(400, 0, &reads), path, 1000, error));
    EXPECT_EQ(error, L"download truncated");
    EXPECT_EQ(reads, 3);
    // Below the floor for a whole window it fails; at the floor it goes on.
    const RateFloor floor = {1000, 100};
    reads = 0;
    EXPECT_FALSE(receive(endless(1, 20, &reads), path, 0, error, 1000, floor));
    EXPECT_EQ(error, L"download too slow");
    EXPECT_FALSE(file_exists(path));
    reads = 0;
    EXPECT_FALSE(receive(endless(50, 20, &reads), path, 0, error, 4000, floor));
    EXPECT_EQ(error, L"download too large"); // past a whole window, stopped by the cap only
    // A read that times out is a stall, not the end of the body.
    const ChunkReader silent = [](void*, DWORD, DWORD* got) {
        *got = 0;
        SetLastError(ERROR_WINHTTP_TIMEOUT);
        return false;
    };
    EXPECT_FALSE(receive(silent, path, 0, error));
    EXPECT_EQ(error, L"download stalled");
}

// A "file" that stops taking bytes: a pipe whose other end goes away after the first read.
TEST(ReceiveFile, AWriteThatFailsIsReportedAsSuch) {
    const std::wstring pipe = L"\\\\.\\pipe\\bw-receive-" + std::to_wstring(GetCurrentProcessId());
    HANDLE server = CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE, 1, 0, 65536,
                                     0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    const ChunkReader read_then_hang_up = [&server](void* buffer, DWORD size, DWORD* got) {
        if (server != nullptr) {
            CloseHandle(server);
            server = nullptr;
        }
        std::memset(buffer, 'x', size);
        *got = size;
        return true;
    };
    std::wstring error;
    EXPECT_FALSE(receive(read_then_hang_up, pipe, 0, error));
    EXPECT_EQ(error, L"disk write failed");
    if (server != nullptr) {
        CloseHandle(server);
    }
}

} // namespace
