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

TEST(UpdateReport, SentOnceWhateverTheAnswer) {
    std::wstring error;
    EXPECT_TRUE(report_send(w_to_utf8(server_url(L"/status/204")), rollback(), error)) << error;
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
    EXPECT_LT(GetTickCount64() - start, 30000u);
}

} // namespace
