// tarvex-options: shows and edits the reporting options stored in a binary or an options
// file, and writes them into binaries (the build step that embeds options).
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <optional>
#include <sstream>

#include "reporting/debuginfo/EDebugStored.h"
#include "reporting/debuginfo/EDebugStoredBuild_linux.h"
#include "reporting/options/ECore.h"
#include "reporting/options/EOptionsText.h"
#include "reporting/options/EPaths.h"
#include "reporting/options/EStoredData.h"
#include "reporting/options/EStoredSymbols.h"
#include "reporting/options/EStreams.h"
#include "runtime/Strings.h"

extern char** environ;

namespace {

constexpr const char* kUsage =
    "Usage: tarvex-options <command> ...\n"
    "  show FILE                      print the options of FILE (a binary or an options file)\n"
    "  set FILE EDIT...               change the options of FILE and write them back\n"
    "  export FILE OUTPUT             write the options of FILE to OUTPUT\n"
    "  import FILE OPTIONS [EDIT...]  store the options of the file OPTIONS in FILE\n"
    "  defaults OUTPUT                write the default options to OUTPUT\n"
    "Edits:\n"
    "  --set NAME=VALUE      an option (see show for names and value forms)\n"
    "  --text INDEX=VALUE    customised text 0..157\n"
    "  --add-filter CLASS    append an enabled filter for CLASS\n"
    "  --filter N.FIELD=VALUE  a field of filter N (from 0)\n"
    "  --delete-filter N     --clear-filters\n"
    "  A value in double quotes may use \\r \\n \\t \\\\ \\\" and \\xHH.\n"
    "Writing a binary:\n"
    "  --append              append the block to the file instead of the .tldata section\n"
    "  --objcopy PATH        objcopy to run (default: $OBJCOPY, else objcopy)\n"
    "  --compile-time SECS   compilation time to store (default: $SOURCE_DATE_EPOCH, else now)\n"
    "  --debug-info          (import) also store a line table read from the binary's DWARF, so\n"
    "                        that unit, class, procedure and line resolve without the DWARF\n"
    "  --debug-password PW   encipher the names of that table; without the password they\n"
    "                        show as \"?\" and Base64\n"
    "  --strip               (import; implies --debug-info) move the DWARF into FILE.debug,\n"
    "                        strip FILE, link it to FILE.debug, then store the block\n"
    "Options files ending in .tlo hold the options stream; others the readable form.\n";

struct TEdit {
  std::string Kind;
  std::string Value;
};

struct TArgs {
  std::string Command;
  std::vector<std::string> Files;
  std::vector<TEdit> Edits;
  bool Append = false;
  std::string Objcopy;
  std::optional<int64_t> CompileTime;
  bool DebugInfo = false;
  bool Strip = false;
  std::string DebugPassword;
};

class EUsage : public Exception {
 public:
  using Exception::Exception;
};

TArgs ParseArgs(int argc, char** argv) {
  TArgs a;
  if (argc < 2) throw EUsage("");
  a.Command = argv[1];
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw EUsage(Format("%s needs a value", {arg}));
      return argv[++i];
    };
    if (arg == "--set" || arg == "--text" || arg == "--add-filter" || arg == "--filter" || arg == "--delete-filter")
      a.Edits.push_back({arg, value()});
    else if (arg == "--clear-filters") a.Edits.push_back({arg, ""});
    else if (arg == "--append") a.Append = true;
    else if (arg == "--objcopy") a.Objcopy = value();
    else if (arg == "--debug-info") a.DebugInfo = true;
    else if (arg == "--strip") a.Strip = a.DebugInfo = true;
    else if (arg == "--debug-password") a.DebugPassword = value();
    else if (arg == "--compile-time") {
      std::string v = value();
      char* end = nullptr;
      long long secs = std::strtoll(v.c_str(), &end, 10);
      if (v.empty() || *end) throw EUsage(Format("Invalid compilation time \"%s\"", {v}));
      a.CompileTime = secs;
    } else if (arg.starts_with("--")) throw EUsage(Format("Unknown option %s", {arg}));
    else a.Files.push_back(arg);
  }
  return a;
}

size_t ParseIndex(std::string_view s, size_t limit, std::string_view what) {
  std::string t = Trim(s);
  char* end = nullptr;
  long v = std::strtol(t.c_str(), &end, 10);
  if (t.empty() || *end || v < 0 || static_cast<size_t>(v) >= limit)
    throw EConvertError("No %s with index \"%s\"", {std::string(what), t});
  return static_cast<size_t>(v);
}

std::pair<std::string, std::string> SplitAssignment(const std::string& s) {
  size_t eq = s.find('=');
  if (eq == std::string::npos) throw EUsage(Format("Expected NAME=VALUE, got \"%s\"", {s}));
  return {s.substr(0, eq), s.substr(eq + 1)};
}

void ApplyEdits(TTarvexModuleOptions& o, const std::vector<TEdit>& edits) {
  for (const auto& e : edits) {
    if (e.Kind == "--set") {
      auto [name, value] = SplitAssignment(e.Value);
      SetOptionField(o, name, value);
    } else if (e.Kind == "--text") {
      auto [index, value] = SplitAssignment(e.Value);
      o.SetText(static_cast<int>(ParseIndex(index, kCustomizedTextCount, "text")), UnquoteText(value));
    } else if (e.Kind == "--add-filter") {
      TTarvexExceptionFilter f;
      f.MatchClass = UnquoteText(e.Value);
      o.ExceptionFilters().Add(f);
    } else if (e.Kind == "--filter") {
      auto [target, value] = SplitAssignment(e.Value);
      size_t dot = target.find('.');
      if (dot == std::string::npos) throw EUsage(Format("Expected N.FIELD=VALUE, got \"%s\"", {e.Value}));
      size_t index = ParseIndex(target.substr(0, dot), o.ExceptionFilters().Count(), "filter");
      TTarvexExceptionFilter f = o.ExceptionFilters()[index];
      SetFilterField(f, target.substr(dot + 1), value);
      // Through the list, so that the change is announced like any other.
      o.BeginUpdate();
      o.ExceptionFilters()[index] = f;
      o.EndUpdate();
    } else if (e.Kind == "--delete-filter") {
      o.ExceptionFilters().Delete(ParseIndex(e.Value, o.ExceptionFilters().Count(), "filter"));
    } else if (e.Kind == "--clear-filters") {
      o.ExceptionFilters().Clear();
    }
  }
}

bool FileExists(const std::string& name) {
  struct stat st {};
  return ::stat(name.c_str(), &st) == 0;
}

bool IsBinary(const std::string& name) {
  return FileExists(name) && (IsElfFile(name) || FindStoredBlock(name).Place != TStoredPlace::None);
}

// What a file holds: for a binary its block (none when missing or unusable).
struct TLoaded {
  bool Binary = false;
  bool HasOptions = false;
  std::optional<TStoredBlock> Block;
  TStoredLocation Where;
};

TLoaded LoadOptions(const std::string& name, TTarvexModuleOptions& o) {
  TLoaded r;
  r.Binary = IsBinary(name);
  if (r.Binary) {
    r.Block = ReadStoredBlock(name, &r.Where);
    if (!r.Block) return r;
    try {
      std::istringstream in(r.Block->Options);
      o.LoadFromStream(in);
      r.HasOptions = true;
    } catch (const EStreamError&) {
      o.SetDefaults();
      r.Block.reset();
    }
    return r;
  }
  std::string bytes = ReadFileBytes(name);
  if (LooksLikeOptionsText(bytes)) {
    ImportOptionsText(o, bytes);
  } else {
    std::istringstream in(bytes);
    o.LoadFromStream(in);
  }
  r.HasOptions = true;
  return r;
}

int64_t DefaultCompileTime(const TArgs& a) {
  if (a.CompileTime) return *a.CompileTime;
  if (const char* e = std::getenv("SOURCE_DATE_EPOCH"); e && *e) return std::strtoll(e, nullptr, 10);
  return static_cast<int64_t>(std::time(nullptr));
}

std::string ObjcopyProgram(const TArgs& a) {
  if (!a.Objcopy.empty()) return a.Objcopy;
  if (const char* e = std::getenv("OBJCOPY"); e && *e) return e;
  return "objcopy";
}

void WriteBinary(const std::string& name, const TTarvexModuleOptions& o, TStoredBlock block, bool append,
                 const TArgs& a) {
  std::ostringstream stream;
  o.SaveToStream(stream);
  block.Version = kStoredDataVersion;
  block.Options = stream.str();
  block.LeakFlags = static_cast<uint8_t>(o.LeakFlags().Bits());
  if (append || !IsElfFile(name)) {
    // A section would hide the appended block from the loader.
    if (IsElfFile(name)) RemoveStoredBlockSection(name, ObjcopyProgram(a));
    WriteStoredBlockAppended(name, block);
  } else {
    WriteStoredBlockSection(name, block, ObjcopyProgram(a));
  }
}

void WriteOptionsFile(const std::string& name, const TTarvexModuleOptions& o) {
  if (LowerCase(ExtractFileExt(name)) == ".tlo") o.SaveToFile(name);
  else WriteFileBytes(name, ExportOptionsText(o, true));
}

std::string FormatUtc(double dayCount) {
  if (dayCount == 0) return "unknown";
  time_t t = static_cast<time_t>(DayCountToUnixTime(dayCount));
  struct tm tm {};
  gmtime_r(&t, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return buf;
}

int Show(const TArgs& a) {
  if (a.Files.size() != 1) throw EUsage("show takes one file");
  const std::string& name = a.Files[0];
  TTarvexModuleOptions o;
  TLoaded loaded = LoadOptions(name, o);
  if (!loaded.HasOptions) {
    std::cout << "No options stored in \"" << name << "\".\n";
    return 1;
  }
  std::cout << "; File: " << name << "\n";
  if (loaded.Binary) {
    const TStoredBlock& b = *loaded.Block;
    std::cout << Format("; Stored block: %s, %d bytes at offset %d\n",
                        {loaded.Where.Place == TStoredPlace::Section ? "section .tldata" : "appended to the file",
                         static_cast<unsigned long long>(loaded.Where.Size),
                         static_cast<unsigned long long>(loaded.Where.Offset)})
              << Format("; Format version: %d\n", {static_cast<int>(b.Version)})
              << "; Compilation time: " << FormatUtc(b.CompileTime) << "\n"
              << Format("; Leak flags: %d, defer to the main module: %d\n",
                        {static_cast<int>(b.LeakFlags), static_cast<int>(b.DeferToMainModule)})
              << Format("; Symbol directory: %d entries\n", {static_cast<unsigned long long>(b.Symbols.size())});
    for (const auto& s : b.Symbols)
      std::cout << Format(";   symbol %d at +%x\n", {static_cast<unsigned>(s.Id), static_cast<unsigned long long>(s.Offset)});
    std::cout << Format("; Debug information: %d bytes\n", {static_cast<unsigned long long>(b.DebugInfo.size())});
    if (!b.DebugInfo.empty()) {
      auto contents = DecodeStoredDebugInfo(b.DebugInfo);
      if (!contents)
        std::cout << ";   not a readable line table\n";
      else
        std::cout << Format(";   line table of %d code ranges%s\n",
                            {static_cast<unsigned long long>(contents->Table.Units.size()),
                             contents->Enciphered ? ", names enciphered" : ""});
    }
  }
  std::cout << "\n" << ExportOptionsText(o, true);
  return 0;
}

int Set(const TArgs& a) {
  if (a.Files.size() != 1) throw EUsage("set takes one file");
  const std::string& name = a.Files[0];
  TTarvexModuleOptions o;
  TLoaded loaded = FileExists(name) ? LoadOptions(name, o) : TLoaded{};
  ApplyEdits(o, a.Edits);
  if (loaded.Binary) {
    TStoredBlock block = loaded.Block.value_or(TStoredBlock{});
    if (!loaded.Block) block.CompileTime = UnixTimeToDayCount(DefaultCompileTime(a));
    bool append = a.Append || loaded.Where.Place == TStoredPlace::Appended;
    WriteBinary(name, o, std::move(block), append, a);
  } else {
    WriteOptionsFile(name, o);
  }
  return 0;
}

int Export(const TArgs& a) {
  if (a.Files.size() != 2) throw EUsage("export takes a file and an output file");
  TTarvexModuleOptions o;
  if (!LoadOptions(a.Files[0], o).HasOptions) {
    std::cerr << "No options stored in \"" << a.Files[0] << "\".\n";
    return 1;
  }
  WriteOptionsFile(a.Files[1], o);
  return 0;
}

void Run(const std::vector<std::string>& args) {
  std::vector<const char*> argv;
  for (const auto& arg : args) argv.push_back(arg.c_str());
  argv.push_back(nullptr);
  pid_t pid = 0;
  int rc = ::posix_spawnp(&pid, argv[0], nullptr, nullptr, const_cast<char* const*>(argv.data()), environ);
  if (rc != 0) throw Exception("Cannot run \"%s\": %s", {args[0], std::strerror(rc)});
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw Exception("\"%s\" failed on \"%s\"", {args[0], args.back()});
}

// Moves the DWARF into `name`.debug, strips the binary and links it to that file.
void StripBinary(const std::string& name, const std::string& objcopy) {
  std::string debugFile = name + ".debug";
  Run({objcopy, "--only-keep-debug", name, debugFile});
  Run({objcopy, "--strip-unneeded", "--remove-section=.gnu_debuglink", name});
  Run({objcopy, "--add-gnu-debuglink=" + debugFile, name});
}

int Import(const TArgs& a) {
  if (a.Files.size() != 2) throw EUsage("import takes a file and an options file");
  const std::string& target = a.Files[0];
  TTarvexModuleOptions o;
  if (IsBinary(a.Files[1])) throw EUsage(Format("\"%s\" is a binary, not an options file", {a.Files[1]}));
  LoadOptions(a.Files[1], o);
  ApplyEdits(o, a.Edits);
  if (IsBinary(target)) {
    // Keep what later build steps stored beside the options.
    TStoredBlock block = ReadStoredBlock(target).value_or(TStoredBlock{});
    block.CompileTime = UnixTimeToDayCount(DefaultCompileTime(a));
    // The routines the layer intercepts, found by name while the symbol table is there; a
    // binary stripped earlier keeps the directory it had.
    if (auto symbols = FindFrameworkSymbols(target); !symbols.empty()) block.Symbols = std::move(symbols);
    if (a.DebugInfo) {
      // Read before stripping; the block is written after it, so stripping cannot drop it.
      uint64_t dwarfSize = DwarfSectionsSize(target);
      block.DebugInfo = EncodeStoredDebugInfo(BuildStoredDebugTable(target), a.DebugPassword);
      if (a.Strip) StripBinary(target, ObjcopyProgram(a));
      std::cout << Format("Stored debug information of \"%s\": %d bytes for %d bytes of DWARF\n",
                          {target, static_cast<unsigned long long>(block.DebugInfo.size()),
                           static_cast<unsigned long long>(dwarfSize)});
    }
    WriteBinary(target, o, std::move(block), a.Append, a);
  } else {
    if (a.DebugInfo) throw EUsage(Format("\"%s\" is not a binary: no debug information to store", {target}));
    WriteOptionsFile(target, o);
  }
  return 0;
}

int Defaults(const TArgs& a) {
  if (a.Files.size() != 1) throw EUsage("defaults takes an output file");
  TTarvexModuleOptions o;
  ApplyEdits(o, a.Edits);
  WriteOptionsFile(a.Files[0], o);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    TArgs a = ParseArgs(argc, argv);
    if (a.Command == "show") return Show(a);
    if (a.Command == "set") return Set(a);
    if (a.Command == "export") return Export(a);
    if (a.Command == "import") return Import(a);
    if (a.Command == "defaults") return Defaults(a);
    if (a.Command == "--help" || a.Command == "help") {
      std::cout << kUsage;
      return 0;
    }
    throw EUsage(Format("Unknown command \"%s\"", {a.Command}));
  } catch (const EUsage& e) {
    if (!e.Message().empty()) std::cerr << "tarvex-options: " << e.Message() << "\n";
    std::cerr << kUsage;
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "tarvex-options: " << e.what() << "\n";
    return 2;
  }
}
