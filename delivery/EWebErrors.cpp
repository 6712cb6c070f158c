// The error codes and texts of the web routes: libcurl's results told in the WinInet terms
// that the messages of the routes show.
#include <curl/curl.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <iterator>

#include "delivery/EWebTools.h"
#include "runtime/SysUtils.h"

namespace {

struct TErrorText {
  int Code;
  const char* Text;
};

constexpr TErrorText kErrorTexts[] = {
    {12002, "The request has timed out."},
    {12003, "An extended error was returned from the server."},
    {12004, "An internal error has occurred."},
    {12005, "The URL is invalid."},
    {12006, "The URL scheme could not be recognized, or is not supported."},
    {12007, "The server name could not be resolved."},
    {12013, "User name incorrect."},
    {12014, "Password incorrect."},
    {12015, "Log on request failed."},
    {12016, "The requested operation is invalid."},
    {12020, "The request cannot be made via a proxy."},
    {12028, "The requested item could not be located."},
    {12029, "The attempt to connect to the server failed."},
    {12030, "The connection with the server has been terminated."},
    {12031, "The connection with the server has been reset."},
    {12033, "The request to the proxy was invalid."},
    {12037, "SSL certificate date is bad."},
    {12038, "SSL certificate host name field is incorrect."},
    {12039, "The application is moving from a non-SSL to an SSL connection because of a redirect."},
    {12040, "The application is moving from an SSL to an non-SSL connection because of a redirect."},
    {12041, "The content is not entirely secure."},
    {12042, "The application is posting and attempting to change multiple lines of text on a server that is not secure."},
    {12043, "The application is posting data to a server that is not secure."},
    {12044, "The server is requesting client authentication."},
    {12045, "The function is unfamiliar with the Certificate Authority that generated the server's certificate."},
    {12052, "The data being submitted to an SSL connection is being redirected to a non-SSL connection."},
    {12055, "The SSL certificate contains errors."},
    {12111, "FTP session aborted."},
    {12112, "Passive mode is not available on the server."},
    {12133, "The end of the data has been reached."},
    {12150, "The requested header could not be located."},
    {12151, "The server did not return any headers."},
    {12152, "The server response could not be parsed."},
    {12153, "The supplied header is invalid."},
    {12160, "The HTTP request was not redirected."},
    {12161, "The HTTP cookie requires confirmation."},
    {12162, "The HTTP cookie was declined by the server."},
    {12163, "The Internet connection has been lost."},
    {12164, "The Web site or server indicated is unreachable."},
    {12165, "The designated proxy server cannot be reached."},
    {12166, "There was an error in the automatic proxy configuration script."},
    {12167, "The automatic proxy configuration script could not be downloaded."},
    {12168, "The redirection requires user confirmation."},
    {12169, "SSL certificate is invalid."},
    {12170, "SSL certificate was revoked."},
    {12171, "The function failed due to a security check."},
};

int CertificateCode(long verifyResult) {
  switch (verifyResult) {
    case X509_V_OK:  // the chain was trusted, the name was not
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return 12038;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return 12037;
    case X509_V_ERR_CERT_REVOKED:
      return 12170;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      return 12045;
    default:
      return 12169;
  }
}

}  // namespace

const char* WinInetErrorText(int code) {
  auto it = std::find_if(std::begin(kErrorTexts), std::end(kErrorTexts),
                         [code](const TErrorText& e) { return e.Code == code; });
  return it == std::end(kErrorTexts) ? "" : it->Text;
}

int WebErrorCode(const TTransferFailure& failure) {
  switch (static_cast<CURLcode>(failure.CurlCode)) {
    case CURLE_COULDNT_CONNECT:
      return failure.ViaProxy ? 12165 : 12029;
    case CURLE_COULDNT_RESOLVE_PROXY:
      return 12165;
    case CURLE_COULDNT_RESOLVE_HOST:
      return 12007;
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_ABORTED_BY_CALLBACK:
      return 12002;
    case CURLE_URL_MALFORMAT:
      return 12005;
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_FAIL_REWIND:  // a kept connection closed without an answer: a POST is not sent again
    case CURLE_WEIRD_SERVER_REPLY:
      return 12152;
    case CURLE_PARTIAL_FILE:
    case CURLE_SEND_ERROR:
      return 12030;
    case CURLE_RECV_ERROR:
      return 12031;
    case CURLE_PEER_FAILED_VERIFICATION:
      return CertificateCode(failure.SslVerifyResult);
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
      return 12169;
    case CURLE_FTP_WEIRD_PASV_REPLY:
    case CURLE_FTP_WEIRD_227_FORMAT:
    case CURLE_FTP_CANT_GET_HOST:
      return 12112;
    case CURLE_LOGIN_DENIED:
    case CURLE_UPLOAD_FAILED:
    case CURLE_REMOTE_ACCESS_DENIED:
    case CURLE_QUOTE_ERROR:
    case CURLE_REMOTE_FILE_NOT_FOUND:
    case CURLE_REMOTE_DISK_FULL:
      return 12003;
    default:
      return 12004;
  }
}

std::string UploadResultText(const std::string& protocol, int result, const std::string& errorText) {
  std::string suffix;
  if (result == -1) suffix = Format(" - Cannot find the \"%s\" library.", {"libcurl"});
  else if (!errorText.empty()) suffix = " (" + errorText + ")";
  return Format("%s error code: %d%s", {protocol, result, suffix});
}
