#include <curl/curl.h>
#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

#include "delivery/EWebTools.h"

namespace {

struct ErrorCase {
  const char* Name;
  TTransferFailure Failure;
  int Code;
};

class WebErrorTable : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(WebErrorTable, MapsTheTransferResultToItsCodeAndText) {
  const ErrorCase& c = GetParam();
  EXPECT_EQ(WebErrorCode(c.Failure), c.Code);
  EXPECT_STRNE(WinInetErrorText(c.Code), "") << "every code the table gives has a text";
}

TTransferFailure F(CURLcode code, bool proxy = false, long verify = 0) { return {code, proxy, verify}; }

INSTANTIATE_TEST_SUITE_P(
    Curl, WebErrorTable,
    ::testing::Values(
        ErrorCase{"Refused", F(CURLE_COULDNT_CONNECT), 12029},
        ErrorCase{"RefusedProxy", F(CURLE_COULDNT_CONNECT, true), 12165},
        ErrorCase{"ProxyUnresolved", F(CURLE_COULDNT_RESOLVE_PROXY, true), 12165},
        ErrorCase{"Unresolved", F(CURLE_COULDNT_RESOLVE_HOST), 12007},
        ErrorCase{"TimedOut", F(CURLE_OPERATION_TIMEDOUT), 12002},
        ErrorCase{"Cancelled", F(CURLE_ABORTED_BY_CALLBACK), 12002},
        ErrorCase{"MalformedUrl", F(CURLE_URL_MALFORMAT), 12005},
        ErrorCase{"EmptyReply", F(CURLE_GOT_NOTHING), 12152},
        ErrorCase{"NoAnswerOnKeptConnection", F(CURLE_SEND_FAIL_REWIND), 12152},
        ErrorCase{"WeirdReply", F(CURLE_WEIRD_SERVER_REPLY), 12152},
        ErrorCase{"Partial", F(CURLE_PARTIAL_FILE), 12030},
        ErrorCase{"SendFailed", F(CURLE_SEND_ERROR), 12030},
        ErrorCase{"Reset", F(CURLE_RECV_ERROR), 12031},
        ErrorCase{"Expired", F(CURLE_PEER_FAILED_VERIFICATION, false, X509_V_ERR_CERT_HAS_EXPIRED), 12037},
        ErrorCase{"NotYetValid", F(CURLE_PEER_FAILED_VERIFICATION, false, X509_V_ERR_CERT_NOT_YET_VALID), 12037},
        ErrorCase{"SelfSigned", F(CURLE_PEER_FAILED_VERIFICATION, false, X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT), 12045},
        ErrorCase{"UnknownIssuer",
                  F(CURLE_PEER_FAILED_VERIFICATION, false, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY), 12045},
        ErrorCase{"Revoked", F(CURLE_PEER_FAILED_VERIFICATION, false, X509_V_ERR_CERT_REVOKED), 12170},
        ErrorCase{"NameMismatch", F(CURLE_PEER_FAILED_VERIFICATION, false, X509_V_OK), 12038},
        ErrorCase{"HostMismatch", F(CURLE_PEER_FAILED_VERIFICATION, false, X509_V_ERR_HOSTNAME_MISMATCH), 12038},
        ErrorCase{"OtherCertificateFault",
                  F(CURLE_PEER_FAILED_VERIFICATION, false, X509_V_ERR_CERT_SIGNATURE_FAILURE), 12169},
        ErrorCase{"PassiveRefused", F(CURLE_FTP_WEIRD_PASV_REPLY), 12112},
        ErrorCase{"Login", F(CURLE_LOGIN_DENIED), 12003},
        ErrorCase{"StorRefused", F(CURLE_UPLOAD_FAILED), 12003},
        ErrorCase{"AnythingElse", F(CURLE_OUT_OF_MEMORY), 12004}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(WebErrorTexts, KnownAndUnknownCodes) {
  EXPECT_STREQ(WinInetErrorText(12029), "The attempt to connect to the server failed.");
  EXPECT_STREQ(WinInetErrorText(12045),
               "The function is unfamiliar with the Certificate Authority that generated the server's certificate.");
  EXPECT_STREQ(WinInetErrorText(12171), "The function failed due to a security check.");
  EXPECT_STREQ(WinInetErrorText(12001), "");
  EXPECT_STREQ(WinInetErrorText(0), "");
}

TEST(WebErrorTexts, UploadResultLine) {
  EXPECT_EQ(UploadResultText("HTTP", 12029, WinInetErrorText(12029)),
            "HTTP error code: 12029 (The attempt to connect to the server failed.)");
  EXPECT_EQ(UploadResultText("FTP", 12003, "530 Login incorrect."), "FTP error code: 12003 (530 Login incorrect.)");
  EXPECT_EQ(UploadResultText("HTTPS", 2147483647, ""), "HTTPS error code: 2147483647");
  EXPECT_EQ(UploadResultText("HTTP", -1, ""), "HTTP error code: -1 - Cannot find the \"libcurl\" library.");
}

}  // namespace
