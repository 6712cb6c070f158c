// Reports in the layout the report builder writes, for the log's tests, its child program and
// its benchmark.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// The call stack, modules, processes, assembler and CPU parts of a real report (the file
// report-tail.txt beside this one), with CR LF line ends.
std::string SampleTail();

// A whole report: the product line, a general part with the given version (1.3), message (2.6)
// and ID (2.7), then the tail.
std::string SampleReport(const std::string& id, const std::string& version = "1.0.0.0",
                         const std::string& message = "Route not found.");

// A folder of its own under $TMPDIR, removed with everything in it.
class TLogTestFolder {
 public:
  TLogTestFolder();
  ~TLogTestFolder();
  TLogTestFolder(const TLogTestFolder&) = delete;
  TLogTestFolder& operator=(const TLogTestFolder&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

std::string ReadWholeFile(const std::string& name);

// The log's child program (ELogChild.cpp) started with these arguments, its standard output
// and error on /dev/null; -1 when it could not start. WaitChild gives its wait status.
pid_t StartLogChild(const std::vector<std::string>& args);
int WaitChild(pid_t pid);
void WriteWholeFile(const std::string& name, const std::string& bytes);
