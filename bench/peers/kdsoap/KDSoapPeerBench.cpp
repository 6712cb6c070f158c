// KDSoap's client on the distance call, under the same names as bench/SoapBench.cpp so that
// bench/peers/run.sh can join the tables. The client is the one kdwsdl2cpp generates from the
// service's WSDL; calls go to the responder whose base URL is in ZELK_BENCH_URL.
//
// KDSoap keeps its message writer and reader private, so Encode serializes the message the
// generated getDistance() builds through the public KDSoapValue::toXml (the operation element
// and its parts, without the envelope), and Decode is a call for the N-section answer less the
// median call for an empty one. KDSoap 1.9 does not follow href to multiRef elements, which
// the Axis answer is made of, so Decode and Call end in an error saying so rather than timing
// an empty result.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QNetworkProxy>
#include <QUrl>

#include <KDSoapClient/KDSoapClientInterface.h>
#include <KDSoapClient/KDSoapMessage.h>
#include <KDSoapClient/KDSoapNamespaceManager.h>
#include <KDSoapClient/KDSoapValue.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ZelkDistanceClient.h"
#include "bench/AxisAnswer.h"

namespace {

QString g_base;  // the responder, without a trailing slash

const QString kPin = QStringLiteral("QXVJ");
const QString kAccess = QStringLiteral("QXVJ");
const QString kPiracy = QStringLiteral("001");

IMPL__ArrayOf_xsd_string Ports() {
  IMPL__ArrayOf_xsd_string ports;
  ports.setItems({SOAPENC__String(QStringLiteral("Busan")), SOAPENC__String(QStringLiteral("London")),
                  SOAPENC__String(QStringLiteral("Mobile"))});
  return ports;
}

// The message the generated ZelkDistanceServiceService::getDistance() hands to the client
// interface, built the same way, step for step.
KDSoapMessage RequestMessage(const QString& pinCode, const QString& accessCode,
                             const IMPL__ArrayOf_xsd_string& portNames, const QString& piracyCode) {
  KDSoapMessage message;
  message.setUse(KDSoapMessage::EncodedUse);
  message.setNamespaceUri(QString::fromLatin1("http://ws.zelk.example"));
  KDSoapValue pin(QString::fromLatin1("pinCode"), QVariant::fromValue(pinCode), KDSoapNamespaceManager::xmlSchema2001(),
                  QString::fromLatin1("string"));
  pin.setNamespaceUri(QString::fromLatin1(""));
  message.childValues().append(pin);
  KDSoapValue access(QString::fromLatin1("accessCode"), QVariant::fromValue(accessCode),
                     KDSoapNamespaceManager::xmlSchema2001(), QString::fromLatin1("string"));
  access.setNamespaceUri(QString::fromLatin1(""));
  message.childValues().append(access);
  KDSoapValue ports(portNames.serialize(QString::fromLatin1("portNames")));
  ports.setNamespaceUri(QString::fromLatin1(""));
  message.childValues().append(ports);
  KDSoapValue piracy(QString::fromLatin1("PiracyCode"), QVariant::fromValue(piracyCode),
                     KDSoapNamespaceManager::xmlSchema2001(), QString::fromLatin1("string"));
  piracy.setNamespaceUri(QString::fromLatin1(""));
  message.childValues().append(piracy);
  return message;
}

// One generated-client object, kept for all calls of a benchmark so the connection is reused.
struct Client {
  explicit Client(const QString& endPoint) {
    service.setEndPoint(endPoint);
    KDSoapClientInterface* ci = service.clientInterface();
    ci->setSoapVersion(KDSoapClientInterface::SOAP1_1);
    ci->setStyle(KDSoapClientInterface::RPCStyle);
    ci->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));  // loopback only, whatever the environment says
  }

  // A synchronous call; a fault, or an HTTP or transport failure (which KDSoap turns into a
  // fault), leaves its text in `error`.
  bool Get(IMPL__GetDistReturn& out, std::string& error) {
    out = service.getDistance(kPin, kAccess, ports, kPiracy);
    const QString e = service.lastError();
    if (e.isEmpty()) return true;
    error = e.toStdString();
    std::replace(error.begin(), error.end(), ',', ';');  // bench/peers/run.sh splits CSV rows on commas
    return false;
  }

  ZelkDistanceServiceService service;
  IMPL__ArrayOf_xsd_string ports = Ports();
};

// Walks the typed answer down to the way points so the decoded objects are really used.
long WayPoints(const IMPL__GetDistReturn& r) {
  long n = 0;
  double lat = 0;
  for (const IMPL__Section& s : r.sections().items()) {
    const QList<IMPL__WayPoint> points = s.waypoints().items();
    n += points.size();
    for (const IMPL__WayPoint& p : points) lat += p.lat();
  }
  benchmark::DoNotOptimize(lat);
  return n;
}

// Empty when the typed answer has `sections` legs of ten way points each, as the responder sends.
std::string Mismatch(const IMPL__GetDistReturn& r, int sections) {
  const int got = r.sections().items().size();
  const long points = WayPoints(r);
  if (got == sections && points == 10L * sections) return {};
  std::string what = "decoded " + std::to_string(got) + " of " + std::to_string(sections) + " sections and " +
                     std::to_string(points) + " of " + std::to_string(10L * sections) + " way points";
  // Everything in the Axis answer but the top element is a multiRef reached through href.
  if (got == 0 && r.retMessage().value().isEmpty())
    what += "; the answer's href references to its multiRef elements were not followed";
  return what;
}

// toXml knows only the standard prefixes, not the message namespace the real writer declares
// on the envelope, so it warns once per call about portNames' type; the warning going to the
// terminal would be most of what Encode measures.
QtMessageHandler g_previousHandler = nullptr;

void DropPrefixWarnings(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (message.startsWith(QLatin1String("ERROR: Namespace not found"))) return;
  if (g_previousHandler) g_previousHandler(type, context, message);
}

void Encode(benchmark::State& state) {
  g_previousHandler = qInstallMessageHandler(DropPrefixWarnings);
  const IMPL__ArrayOf_xsd_string ports = Ports();
  const QString ns = QStringLiteral("http://ws.zelk.example");
  for (auto _ : state) {
    const KDSoapMessage message = RequestMessage(kPin, kAccess, ports, kPiracy);
    // In rpc style the client wraps the parts in the operation's element, in the message namespace.
    KDSoapValue operation(QStringLiteral("getDistance"), message.childValues());
    operation.setNamespaceUri(ns);
    const QByteArray xml = operation.toXml(KDSoapValue::EncodedUse, ns);
    benchmark::DoNotOptimize(xml.constData());
  }
  qInstallMessageHandler(g_previousHandler);
}
BENCHMARK(Encode)->Unit(benchmark::kMicrosecond);

// `prefix` is the responder's path for the layout: "/answer/" (multi-references) or "/inline/".
void DecodeAnswer(benchmark::State& state, const QString& prefix) {
  const int sections = static_cast<int>(state.range(0));
  const QString answer = g_base + prefix + QString::number(sections);
  Client client(answer);
  IMPL__GetDistReturn r;
  std::string error;

  // One call first, so that an answer this client cannot read stops the run before the baseline.
  if (!client.Get(r, error)) {
    state.SkipWithError(("call failed: " + error).c_str());
    return;
  }
  if (const std::string wrong = Mismatch(r, sections); !wrong.empty()) {
    state.SkipWithError(wrong.c_str());
    return;
  }

  // What a call costs apart from decoding: HTTP, envelope, and the empty answer's few values.
  client.service.setEndPoint(g_base + prefix + QStringLiteral("0"));
  std::vector<double> empty;
  for (int i = 0; i < 50; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    const bool ok = client.Get(r, error);
    const auto t1 = std::chrono::steady_clock::now();
    if (!ok) {
      state.SkipWithError(("call for the empty answer failed: " + error).c_str());
      return;
    }
    empty.push_back(std::chrono::duration<double>(t1 - t0).count());
  }
  std::nth_element(empty.begin(), empty.begin() + empty.size() / 2, empty.end());
  const double baseline = empty[empty.size() / 2];

  client.service.setEndPoint(answer);
  long belowBaseline = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    const bool ok = client.Get(r, error);
    const auto t1 = std::chrono::steady_clock::now();
    if (!ok) {
      state.SkipWithError(("call failed: " + error).c_str());
      break;
    }
    const std::string wrong = Mismatch(r, sections);
    if (!wrong.empty()) {
      state.SkipWithError(wrong.c_str());
      break;
    }
    const double decode = std::chrono::duration<double>(t1 - t0).count() - baseline;
    if (decode <= 0) ++belowBaseline;
    state.SetIterationTime(std::max(0.0, decode));
  }
  // Calls that wait on the peer's TCP acknowledgements vary by milliseconds, which hides small
  // answers' decoding altogether; a figure made mostly of zeros would mislead.
  if (!state.error_occurred() && belowBaseline * 2 > static_cast<long>(state.iterations()))
    state.SkipWithError("most calls took less than the empty answer's median; call times vary more than decoding takes");
}
void Decode(benchmark::State& state) { DecodeAnswer(state, QStringLiteral("/answer/")); }
void DecodeInline(benchmark::State& state) { DecodeAnswer(state, QStringLiteral("/inline/")); }
// Fixed counts: the reported time is a small part of each call, so letting the library grow the
// count until that time adds up would take minutes.
BENCHMARK(Decode)->Arg(1)->Arg(10)->Iterations(200)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(Decode)->Arg(100)->Iterations(50)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(Decode)->Arg(1000)->Iterations(5)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(DecodeInline)->Arg(1)->Arg(10)->Iterations(200)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(DecodeInline)->Arg(100)->Iterations(50)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(DecodeInline)->Arg(1000)->Iterations(5)->UseManualTime()->Unit(benchmark::kMicrosecond);

void CallPath(benchmark::State& state, const QString& path) {
  Client client(g_base + path);
  IMPL__GetDistReturn r;
  std::string error;
  for (auto _ : state) {
    if (!client.Get(r, error)) {
      state.SkipWithError(("call failed: " + error).c_str());
      break;
    }
    const std::string wrong = Mismatch(r, 2);
    if (!wrong.empty()) {
      state.SkipWithError(wrong.c_str());
      break;
    }
  }
}
// Real time: most of a call is spent waiting, which CPU time would not count.
void Call(benchmark::State& state) { CallPath(state, QStringLiteral("/ZelkSystem/services/ZelkDistanceVersion3")); }
void CallInline(benchmark::State& state) { CallPath(state, QStringLiteral("/inline/2")); }
BENCHMARK(Call)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(CallInline)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The library appends "/iterations:N" and "/manual_time" or "/real_time" to the names of such
// benchmarks; the driver joins rows by name, so the rows go out under the registered names, and
// a filter anchored at the end of a name ("Decode/1$") still selects them.
template <class Reporter>
class RegisteredNames : public Reporter {
 public:
  using Reporter::Reporter;
  void ReportRuns(const std::vector<benchmark::BenchmarkReporter::Run>& runs) override {
    std::vector<benchmark::BenchmarkReporter::Run> renamed = runs;
    for (auto& run : renamed) {
      run.run_name.iterations.clear();
      run.run_name.time_type.clear();
    }
    Reporter::ReportRuns(renamed);
  }
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"  // CSVReporter, still wanted by the driver

// The CSV reporter takes its columns from the first rows it is given and aborts on a counter
// that turns up later (answer_bytes after Encode's request_bytes); given all rows at the end,
// it has every column.
class CsvAtEnd : public RegisteredNames<benchmark::CSVReporter> {
 public:
  void ReportRuns(const std::vector<Run>& runs) override { held_.insert(held_.end(), runs.begin(), runs.end()); }
  void Finalize() override {
    if (!held_.empty()) RegisteredNames::ReportRuns(held_);
    RegisteredNames::Finalize();
  }

 private:
  std::vector<Run> held_;
};
#pragma GCC diagnostic pop

std::string AllowNameSuffixes(const std::string& filter) {
  std::string out;
  for (size_t i = 0; i < filter.size(); ++i) {
    if (filter[i] == '\\' && i + 1 < filter.size()) {
      out += filter.substr(i++, 2);
    } else if (filter[i] == '$') {
      out += "(/iterations:[0-9]+)?(/manual_time|/real_time)?$";
    } else {
      out += filter[i];
    }
  }
  return out;
}

// The value of --name=... (or -name=...), else of the environment variable the library would read.
std::string FlagValue(int argc, char** argv, const char* name, const char* env) {
  std::string value;
  if (const char* e = std::getenv(env)) value = e;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (*a == '-') ++a;
    if (*a == '-') ++a;
    const size_t n = std::strlen(name);
    if (std::strncmp(a, name, n) == 0 && a[n] == '=') value = a + n + 1;
  }
  return value;
}

std::unique_ptr<benchmark::BenchmarkReporter> MakeReporter(const std::string& format, bool console) {
  if (format == "json") return std::make_unique<RegisteredNames<benchmark::JSONReporter>>();
  if (format == "csv") return std::make_unique<CsvAtEnd>();
  if (format.empty() || format == "console") {
    const bool color = console && isatty(STDOUT_FILENO);
    return std::make_unique<RegisteredNames<benchmark::ConsoleReporter>>(
        color ? benchmark::ConsoleReporter::OO_Color : benchmark::ConsoleReporter::OO_None);
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);  // the synchronous calls run a local event loop

  // Read before Initialize, which consumes the library's flags.
  const std::string format = FlagValue(argc, argv, "benchmark_format", "BENCHMARK_FORMAT");
  const std::string out = FlagValue(argc, argv, "benchmark_out", "BENCHMARK_OUT");
  const std::string outFormat = FlagValue(argc, argv, "benchmark_out_format", "BENCHMARK_OUT_FORMAT");

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  const char* base = std::getenv("ZELK_BENCH_URL");
  if (!base || !*base) {
    std::fprintf(stderr, "kdsoap_peer_bench: ZELK_BENCH_URL is not set; start bench_responder and set it to "
                         "the URL it prints (http://127.0.0.1:PORT)\n");
    return 2;
  }
  const QUrl url(QString::fromUtf8(base));
  const QString host = url.host();
  if (!url.isValid() || url.scheme() != QLatin1String("http") ||
      (host != QLatin1String("127.0.0.1") && host != QLatin1String("::1") && host != QLatin1String("localhost"))) {
    std::fprintf(stderr, "kdsoap_peer_bench: ZELK_BENCH_URL=%s is not an http URL on loopback\n", base);
    return 2;
  }
  g_base = QString::fromUtf8(base);
  while (g_base.endsWith(QLatin1Char('/'))) g_base.chop(1);

  std::unique_ptr<benchmark::BenchmarkReporter> display = MakeReporter(format, true);
  std::unique_ptr<benchmark::BenchmarkReporter> file;
  if (!out.empty()) file = MakeReporter(outFormat.empty() ? "json" : outFormat, false);
  if (!display || (!out.empty() && !file)) {
    std::fprintf(stderr, "kdsoap_peer_bench: unknown output format\n");
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks(display.get(), file.get(), AllowNameSuffixes(benchmark::GetBenchmarkFilter()));
  benchmark::Shutdown();
  return 0;
}
