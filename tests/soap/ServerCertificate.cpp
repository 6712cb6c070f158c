#include "tests/soap/ServerCertificate.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

TempTextFile::TempTextFile(const std::string& text, const char* name) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zelk-cert-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("TempTextFile: no temporary folder");
  dir_ = pattern;
  path_ = dir_ + "/" + name;
  std::ofstream(path_, std::ios::binary) << text;
}

TempTextFile::~TempTextFile() {
  ::unlink(path_.c_str());
  ::rmdir(dir_.c_str());
}
