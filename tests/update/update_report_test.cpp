#include "update/update_report.h"
#include "state/text.h"
#include "update/test_server.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

UpdateReport rollback() {
    UpdateReport report;
    report.event = "rolled-back";
    report.version = "1.4.0";
    report.from = "1.3.2";
    report.channel = "beta-2";
    report.bucket = 7;
    report.reason = "exited with code 3 during its trial";
    return report;
}

// Exactly these fields, in this order, each encoded so that nothing in them can end the
// field or the request line.
TEST(UpdateReport, TheQueryHoldsTheFieldsEncoded) {
    EXPECT_EQ(report_address("https://r.example.com/r", rollback()),
              "https://r.example.com/r?event=rolled-back&version=1.4.0&from=1.3.2"
              "&channel=beta-2&bucket=7&reason=exited%20with%20code%203%20during%20its%20trial");
    UpdateReport staged;
    staged.event = "staged";
    staged.version = "2.0";
    EXPECT_EQ(report_address("https://r.example.com/r?app=bw", staged),
              "https://r.example.com/r?app=bw&event=staged&version=2.0&from=&channel=&bucket=");
    UpdateReport failed = rollback();
    failed.event = "failed";
    failed.reason = "a&b=c?d/e%f+g\r\nh\xc3\xa9~_.";
    const std::string address = report_address("https://h/r", failed);
    EXPECT_EQ(address.substr(address.find("&reason=")),
              "&reason=a%26b%3Dc%3Fd%2Fe%25f%2Bg%0D%0Ah%C3%A9~_.");
}

// A reason is cut to its first 80 characters, never inside one.
TEST(UpdateReport, AReasonIsCutToEightyCharacters) {
    UpdateReport report = rollback();
    report.reason = std::string(79, 'x') + "\xc3\xa9" + "yz";
    const std::string address = report_address("https://h/r", report);
    EXPECT_EQ(address.substr(address.find("&reason=") + 8), std::string(79, 'x') + "%C3%A9");
    report.reason = std::string(80, 'x');
    EXPECT_NE(report_address("https://h/r", report).find("reason=" + std::string(80, 'x')),
              std::string::npos);
}

// The install root's path holds the user's name, and a path may hold spaces: no word of
// a path is sent.
TEST(UpdateReport, AReasonNamesNoFolderOfTheUsers) {
    const std::string profile = "C:\\Users\\Ann van Dyke";
    const std::string root = profile + "\\AppData\\Local\\Brindlewick";
    const auto reason = [&](const std::string& text) { return report_reason(text, root, profile); };
    EXPECT_EQ(reason("cannot write \\\\?\\" + root + "\\staging-tmp\\my file.dll"),
              "cannot write <path> file.dll");
    EXPECT_EQ(reason("cannot read " + root + "\\app-1.2\\a.dll (error 5)"),
              "cannot read <path> (error 5)");
    EXPECT_EQ(reason("cannot read " + profile + "\\AppData\\Local\\Temp\\x y"),
              "cannot read <path> y");
    EXPECT_EQ(reason("not enough disk space: needs 12 MB on C:, 3 MB free"),
              "not enough disk space: needs 12 MB on C:, 3 MB free");
    EXPECT_EQ(report_reason("cannot write D:\\Profiles\\ann\\x", "", ""), "cannot write <path>");
}

// One request, whatever the answer; the server logs each body it sends, once whole.
TEST(UpdateReport, SentOnceWhateverTheAnswer) {
    std::wstring error;
    const std::string path = "/ranged/10/-/report-once";
    ASSERT_TRUE(report_send(w_to_utf8(server_url(utf8_to_w(path))), rollback(), error)) << error;
    const std::string sent = report_address(path, rollback());
    for (int tries = 0; tries < 200 && responses_to(sent).empty(); ++tries) {
        Sleep(50);
    }
    EXPECT_EQ(responses_to(sent).size(), 1u);
    EXPECT_TRUE(report_send(w_to_utf8(server_url(L"/status/404")), rollback(), error)) << error;
}

TEST(UpdateReport, OnlyOverHttpsAndNeverLongerThanFiveSeconds) {
    std::wstring error;
    EXPECT_FALSE(report_send(w_to_utf8(server_url(L"/status/204", false)), rollback(), error));
    EXPECT_EQ(error, L"report address must be https");
    // The server says nothing for 40 seconds.
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(report_send(w_to_utf8(server_url(L"/silent/40")), rollback(), error));
    EXPECT_EQ(error, L"no answer within 5 seconds");
    EXPECT_LT(GetTickCount64() - start, 15000u);
}

} // namespace
