// The console tool over https, against a loopback TLS server whose self-signed certificate it
// trusts only when told to.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/soap/ServerCertificate.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/TestSupport.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

struct CliResult {
  int exitCode = -1;
  std::string output;  // stdout and stderr
};

// Runs the tool with a clean certificate environment; `certFile` empty leaves SSL_CERT_FILE unset.
CliResult RunCli(const std::string& url, const std::string& certFile) {
  std::string command = "env -u SSL_CERT_FILE -u SSL_CERT_DIR LC_ALL=en_US.UTF-8 no_proxy='*' NO_PROXY='*' ";
  if (!certFile.empty()) command += "SSL_CERT_FILE='" + certFile + "' ";
  command += "timeout 30 '" ZELK_CLI "' --url '" + url + "' 2>&1";
  CliResult r;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return r;
  char buffer[4096];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, p)) r.output.append(buffer, n);
  int status = ::pclose(p);
  if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
  return r;
}

TEST(CliOverHttps, TrustsTheServerOnlyWhenTold) {
  if (!HttpTestServer::TlsAvailable()) GTEST_SKIP() << "test support built without TLS";
  if (!LocaleAvailable("en_US.UTF-8")) GTEST_SKIP() << "the report's numbers need en_US.UTF-8";
  ScopedIgnoreSigPipe refusals;
  HttpTestServer server({.Tls = true});
  server.SetDefault(HttpResponse::Xml(ReadFile(ZELK_SAMPLES "/answer-001.xml")));
  TempTextFile trusted(server.CertificatePem());
  const std::string url =
      "https://localhost:" + std::to_string(server.Port()) + "/ZelkSystem/services/ZelkDistanceVersion3";
  struct Case {
    const char* name;
    std::string certFile;
    int exitCode;
    std::string output;
  } cases[] = {
      {"trusted through SSL_CERT_FILE", trusted.Path(), 0, ReadFile(ZELK_SAMPLES "/answer-001.report.txt")},
      {"not trusted", "", 1,
       "ESOAPHTTPException: SSL certificate problem: self-signed certificate - URL:" + url +
           " - SOAPAction:\"\"\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CliResult r = RunCli(url, c.certFile);
    EXPECT_EQ(r.exitCode, c.exitCode);
    EXPECT_EQ(r.output, c.output);
  }
  EXPECT_EQ(server.RequestCount(), 1u);
}

}  // namespace
