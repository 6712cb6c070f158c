// The three tracker conversations against loopback fakes that speak their pages and markers.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "delivery/EWebTracker.h"
#include "tests/support/WebTestServer.h"

namespace {

// ---- The fakes ----

struct FakeState {
  std::string Prefix;         // "" or "/mantis"
  std::string Summary;        // the existing bug's summary; empty: none
  bool Closed = false;
  std::string FailPage;       // answered without its marker
  std::string DropPage;       // the connection closed without an answer
  std::string StallPage;      // never answered
  int LoginRedirect = 302;    // 302, 301, 303, or 200 with a Refresh header
  std::string LastSearch;
  std::mutex Mu;
};

std::string Field(const WebFormRequest& r, const std::string& name) {
  for (const auto& [n, v] : r.Fields)
    if (n == name) return v;
  for (const auto& [n, v] : r.Query)
    if (n == name) return v;
  return {};
}

HttpResponse Html(const std::string& body) { return HttpResponse::With(200, "OK", "text/html", "<html><body>" + body + "</body></html>"); }

HttpResponse Redirect(int status, const std::string& location) {
  HttpResponse r = HttpResponse::With(status, status == 301 ? "Moved Permanently" : status == 303 ? "See Other" : "Found",
                                      "text/html", "");
  r.Headers.emplace_back("Location", location);
  return r;
}

HttpResponse LoginAnswer(const FakeState& f, const std::string& next, const std::string& body) {
  HttpResponse r = f.LoginRedirect == 200 ? Html(body) : Redirect(f.LoginRedirect, next);
  if (f.LoginRedirect == 200) r.Headers.emplace_back("Refresh", "0; url=" + next);
  r.Headers.emplace_back("Set-Cookie", "session=s1; path=/");
  return r;
}

// What every fake does before its pages: misbehave on request, and want the login cookie.
std::optional<HttpResponse> Common(const FakeState& f, const WebFormRequest& r, bool loginPage) {
  if (r.Page == f.DropPage) {
    HttpResponse x;
    x.Mode = HttpResponse::Behaviour::CloseWithoutAnswer;
    return x;
  }
  if (r.Page == f.StallPage) {
    HttpResponse x;
    x.DelayMs = 30000;
    return x;
  }
  if (!loginPage && r.Cookie.find("session=s1") == std::string::npos) return Html("<p>Please log in.</p>");
  return std::nullopt;
}

std::string Counter(const FakeState& f) { return f.Summary; }

HttpResponse Mantis(FakeState& f, const WebFormRequest& r) {
  const std::string& p = r.Page;
  bool fail = p == f.FailPage;
  if (auto x = Common(f, r, p == "login.php")) return *x;
  if (p == "login.php") {
    if (Field(r, "username") != "joe" || Field(r, "password") != "secret") return Html("<p>Wrong.</p>");
    return LoginAnswer(f, "login_select_proj_page.php", "<p>Logged in.</p>");
  }
  if (p == "login_select_proj_page.php")
    return Html(fail ? "" : "<form><select name=\"project_id\"><option value=\"1\">Other</option>"
                            "<option value=\"7\">Zelk</option></select></form>");
  if (p == "set_project.php") return Field(r, "project_id") == "7" ? Redirect(302, "my_view_page.php") : Html("no");
  if (p == "my_view_page.php")
    return Html(fail ? "" : "<select name=\"project_id\"><option value=\"7\" selected=\"selected\">Zelk</option></select>");
  if (p == "view_all_set.php") {
    f.LastSearch = Field(r, "search");
    return Redirect(302, f.Prefix + "/view_all_bug_page.php");
  }
  if (p == "view_all_bug_page.php") {
    std::string body = fail ? "" : "<input type=\"submit\" name=\"reset_query_button\" value=\"Reset\" />";
    if (!f.Summary.empty() && f.Summary.find(f.LastSearch) != std::string::npos)
      body += "<a href=\"bug_update_page.php?bug_id=42\">edit</a>";
    return Html(body);
  }
  if (p == "bug_report_advanced_page.php")
    return Html(std::string("<form method=\"post\" enctype=\"multipart/form-data\" action=\"bug_report.php\">") +
                "<input type=\"hidden\" name=\"m_id\" value=\"0\" /><input type=\"hidden\" name=\"project_id\" value=\"7\" />"
                "<select name=\"handler_id\"><option value=\"0\"></option><option value=\"3\">dev</option></select>"
                "<select name=\"category\"><option value=\"1\">General</option><option value=\"2\">Crash</option></select>"
                "<select name=\"severity\"><option value=\"10\">feature</option><option value=\"50\" selected=\"selected\">minor</option></select>"
                "<select name=\"priority\"><option value=\"30\" selected=\"selected\">normal</option></select>"
                "<input type=\"text\" name=\"platform\" value=\"x86_64\" /><input type=\"checkbox\" name=\"report_stay\" />"
                "<input type=\"hidden\" name=\"bug_report_token\" value=\"tok&amp;en\" />" +
                (fail ? "" : "<input name=\"file\" type=\"file\" />") + "</form>");
  if (p == "bug_report.php") return Html(fail ? "<p>APPLICATION ERROR</p>" : "<a href=\"view.php?id=43\">43</a>");
  if (p == "bug_update_page.php") {
    if (Field(r, "bug_id") != "42") return Html("no bug");
    return Html(std::string("<form method=\"post\" action=\"bug_update.php\">") +
                "<input type=\"hidden\" name=\"bug_update_token\" value=\"utok\" /><input type=\"hidden\" name=\"update_mode\" value=\"1\" />"
                "<select name=\"category\"><option value=\"2\" selected=\"selected\">Crash</option></select>" +
                (fail ? "" : "<select name=\"severity\"><option value=\"50\" selected=\"selected\">minor</option></select>") +
                "<select name=\"reproducibility\"><option value=\"10\" selected>always</option></select>"
                "<select name=\"reporter_id\"><option value=\"5\" selected=\"selected\">joe</option></select>"
                "<select name=\"view_state\"><option value=\"10\" selected=\"selected\">public</option></select>"
                "<select name=\"handler_id\"><option value=\"3\" selected=\"selected\">dev</option></select>"
                "<select name=\"priority\"><option value=\"30\" selected=\"selected\">normal</option></select>"
                "<select name=\"status\"><option value=\"50\"" + (f.Closed ? "" : " selected=\"selected\"") +
                ">assigned</option><option value=\"80\"" + (f.Closed ? " selected=\"selected\"" : "") + ">resolved</option></select>"
                "<select name=\"resolution\"><option value=\"10\" selected=\"selected\">open</option></select>"
                "<input type=\"text\" name=\"summary\" value=\"" + Counter(f) + "\" />"
                "<textarea name=\"description\" cols=\"80\">Boom.</textarea><textarea name=\"additional_information\"></textarea>"
                "<textarea name=\"bugnote_text\"></textarea></form>");
  }
  if (p == "bug_update.php") return fail ? Html("") : Redirect(302, "view.php?id=42");
  if (p == "view.php") return Html("<a href=\"view.php?id=42\">42</a>");
  return HttpResponse::NotFound();
}

HttpResponse Bugzilla(FakeState& f, const WebFormRequest& r) {
  const std::string& p = r.Page;
  bool fail = p == f.FailPage;
  bool login = p == "enter_bug.cgi" && r.Method == "POST";
  if (auto x = Common(f, r, login)) return *x;
  if (login) {
    if (Field(r, "Bugzilla_login") != "joe" || Field(r, "Bugzilla_password") != "secret") return Html("<p>Wrong.</p>");
    HttpResponse a = Html(f.FailPage == "login" ? "" : "<a href=\"relogin.cgi\">Log out</a>");
    a.Headers.emplace_back("Set-Cookie", "session=s1; path=/");
    return a;
  }
  if (p == "buglist.cgi") {
    std::string body = fail ? "" : "<a href=\"query.cgi?format=advanced\">Edit search</a>";
    if (!f.Summary.empty() && f.Summary.find(Field(r, "content")) != std::string::npos)
      body += "<a href=\"show_bug.cgi?id=42\">42</a>";
    return Html(body);
  }
  if (p == "enter_bug.cgi")
    return Html(std::string(fail ? "<form>" : "<form action=\"post_bug.cgi\" method=\"post\">") +
                "<input type=\"hidden\" name=\"product\" value=\"Zelk\">"
                "<select name=\"version\"><option value=\"1.0\">1.0</option><option value=\"2.1.0.5\">2.1.0.5</option></select>"
                "<select name=\"component\"><option value=\"Core\">Core</option></select>"
                "<script>components[0] = \"Core\";</script>"
                "<select name=\"rep_platform\"><option value=\"PC\" selected>PC</option></select>"
                "<select name=\"op_sys\"><option value=\"Linux\" selected>Linux</option></select>"
                "<select name=\"priority\"><option value=\"P3\" selected>P3</option></select>"
                "<select name=\"bug_severity\"><option value=\"normal\" selected>normal</option></select>"
                "<select name=\"target_milestone\"><option value=\"---\" selected>---</option></select>"
                "<input type=\"hidden\" name=\"bug_status\" value=\"NEW\"><input name=\"estimated_time\" value=\"0.0\">"
                "<input name=\"bug_file_loc\" value=\"http://\"><input name=\"keywords\" value=\"\"></form>");
  if (p == "post_bug.cgi")
    return Html(fail ? "" : "<a href=\"show_bug.cgi?id=43\">43</a><input type=\"hidden\" name=\"id\" value=\"43\">");
  if (p == "attachment.cgi") return Html(fail ? "" : "<a href=\"attachment.cgi?id=9\">9</a>");
  if (p == "show_bug.cgi") {
    if (Field(r, "id") != "42") return Html("no bug");
    return Html(std::string("<form name=\"changeform\" method=\"post\" action=\"process_bug.cgi\">") +
                (fail ? "" : "<input type=\"hidden\" name=\"form_name\" value=\"process_bug\">") +
                "<input type=\"hidden\" name=\"delta_ts\" value=\"2026-12-10 10:00:00\">"
                "<input type=\"hidden\" name=\"longdesclength\" value=\"1\"><input type=\"hidden\" name=\"id\" value=\"42\">"
                "<input type=\"hidden\" name=\"token\" value=\"btok\">"
                "<input name=\"short_desc\" value=\"" + Counter(f) + "\">"
                "<select name=\"product\"><option value=\"Zelk\" selected>Zelk</option></select>"
                "<select name=\"component\"><option value=\"Core\" selected>Core</option></select>"
                "<select name=\"rep_platform\"><option value=\"PC\" selected>PC</option></select>"
                "<select name=\"op_sys\"><option value=\"Linux\" selected>Linux</option></select>"
                "<select name=\"version\"><option value=\"2.0\" selected>2.0</option></select>"
                "<select name=\"priority\"><option value=\"P3\" selected>P3</option></select>"
                "<select name=\"bug_severity\"><option value=\"normal\" selected>normal</option></select>"
                "<select name=\"target_milestone\"><option value=\"---\" selected>---</option></select>"
                "<input name=\"assigned_to\" value=\"dev@example.com\">"
                "<textarea name=\"comment\"></textarea>" +
                (f.Closed ? "<input type=\"radio\" name=\"knob\" value=\"reopen\">" : "") + "</form>");
  }
  if (p == "process_bug.cgi") return Html(fail ? "" : "<a href=\"show_bug.cgi?id=42\">42</a>");
  return HttpResponse::NotFound();
}

HttpResponse FogBugz(FakeState& f, const WebFormRequest& r) {
  // A page is named by its "pre" argument, else by "pg" and "command".
  std::string step = Field(r, "pre").empty() ? Field(r, "pg") + Field(r, "command") : Field(r, "pre");
  bool login = Field(r, "pre") == "preLogon";
  if (auto x = Common(f, WebFormRequest{r.Method, r.Path, step, r.Query, r.Fields, r.Parts, r.Cookie}, login)) return *x;
  bool fail = step == f.FailPage;
  if (login) {
    if (Field(r, "sPerson") != "joe" || Field(r, "sPassword") != "secret") return Html("<p>Wrong.</p>");
    HttpResponse a = Html(fail ? "" : "<a href=\"default.asp?pre=preLogOff\">Log off</a>");
    a.Headers.emplace_back("Set-Cookie", "session=s1; path=/");
    return a;
  }
  if (step == "preSearch") {
    std::string body = fail ? "" : "<input name=\"searchFor=\" value=\"\">";
    if (!f.Summary.empty() && f.Summary.find(Field(r, "searchFor")) != std::string::npos)
      body += "<a href=\"default.asp?pgx=EV&amp;ixBug=42\">42</a>";
    return Html(body);
  }
  std::string form = "<form action=\"default.asp?pre=preSubmitBug&sActionToken=tok/1\" method=\"post\">";
  if (step == "pgEditBugnew")
    return Html(form + "<input type=\"hidden\" name=\"command\" value=\"new\"><input type=\"hidden\" name=\"ixBug\" value=\"0\">"
                       "<input type=\"hidden\" name=\"dtTimeStamp\" value=\"t1\">"
                       "<select name=\"ixProject\"><option value=\"4\">Zelk</option></select>"
                       "<select name=\"ixArea\"><option value=\"8\">Zelk: Crash</option></select>"
                       "<select name=\"ixPersonAssignedTo\"><option value=\"1\" selected>Up for grabs</option>"
                       "<option value=\"3\">dev</option></select>"
                       "<select name=\"ixCategory\"><option value=\"1\" selected>Bug</option></select>"
                       "<select name=\"ixFixFor\"><option value=\"2\" selected>Undecided</option></select>"
                       "<input name=\"hrsElapsedNew\" value=\"0\"><input name=\"sComputer\" value=\"pc\"></form>");
  if (step == "preSubmitBug") return Html(fail ? "" : "<a href=\"default.asp?command=resolve&ixBug=43\">Resolve</a>");
  if (step == "pgEditBugedit") {
    if (Field(r, "ixBug") != "42") return Html("no bug");
    return Html(form + (fail ? "" : "<input type=\"submit\" name=\"OK\" value=\"OK\">") +
                "<input type=\"hidden\" name=\"command\" value=\"edit\"><input type=\"hidden\" name=\"dtTimeStamp\" value=\"t2\">"
                "<input name=\"sTitle\" value=\"" + Counter(f) + "\"><input type=\"hidden\" name=\"sOriginalTitle\" value=\"orig\">"
                "<select name=\"ixProject\"><option value=\"4\" selected>Zelk</option></select>"
                "<select name=\"ixPriority\"><option value=\"1\" selected>1</option></select>"
                "<input name=\"nFileCount\" value=\"0\"><textarea name=\"sEvent\">Boom.</textarea>" +
                (f.Closed ? "<a href=\"default.asp?pg=pgEditReleaseNotes\">notes</a>" : "") + "</form>");
  }
  return HttpResponse::NotFound();
}

using FakePage = HttpResponse (*)(FakeState&, const WebFormRequest&);

// ---- The cases ----

struct Req {
  std::string Line;  // method, target without the prefix
  WebFieldList Fields;
};

struct TrackerCase {
  const char* Name;
  std::function<void(FakeState&)> Setup;
  int Result;
  std::vector<Req> Requests;  // empty: not compared
  int ErrorCode = 0;
};

std::string Summary(int counter) { return "[v2.1.0.5 - " + std::to_string(counter) + "]: EMyError (1A2B)"; }

class TrackerTest {
 public:
  TrackerTest(FakePage page, bool tls = false) : tls_(tls), page_(page), server_(Options(tls)) {
    server_.SetHandler([this](const HttpRequestRecord& req) {
      WebFormRequest r = ParseFormRequest(req);
      if (!state.Prefix.empty()) r.Path = r.Path.substr(std::min(r.Path.size(), state.Prefix.size()));
      std::lock_guard<std::mutex> lock(state.Mu);
      return page_(state, r);
    });
  }

  TTrackerReport Report(const std::string& attached) {
    TTrackerReport r;
    r.Version = "2.1.0.5";
    r.ExceptionClass = "EMyError";
    r.Message = "Boom.";
    r.Identifier = "1A2B";
    r.CustomFields = {"Custom=field value", "FogBugzTrialID=", "TL_OSType=Linux", "TL_OSBuild=6.1",
                      "TL_ReproduceText=Click twice"};
    r.AttachedFile = attached;
    r.Assignee = "dev";
    r.Category = "Crash";
    r.Project = "Zelk";
    r.User = "joe";
    r.Password = "secret";
    r.Endpoint.WebAddress = ComposeTrackerAddress(std::string(tls_ ? "https" : "http") + "://127.0.0.1" + state.Prefix,
                                                  static_cast<uint32_t>(server_.Port()));
    return r;
  }

  // The requests as "METHOD target" (prefix removed) with their body fields.
  std::vector<Req> Recorded() const {
    std::vector<Req> out;
    for (const HttpRequestRecord& h : server_.Requests()) {
      std::string target = h.Target;
      size_t scheme = target.find("://");
      if (scheme != std::string::npos) target = target.substr(target.find('/', scheme + 3));
      target = target.substr(std::min(target.size(), state.Prefix.size() + 1));
      out.push_back({h.Method + " " + target, ParseFormRequest(h).Fields});
    }
    return out;
  }
  const HttpTestServer& Server() const { return server_; }
  FakeState state;

 private:
  static HttpTestServerOptions Options(bool tls) {
    HttpTestServerOptions o;
    o.Tls = tls;
    return o;
  }
  bool tls_;
  FakePage page_;
  HttpTestServer server_;
};

std::string Describe(const std::vector<Req>& list) {
  std::string s;
  for (const Req& r : list) {
    s += r.Line + "\n";
    for (const auto& [n, v] : r.Fields) s += "    " + n + "=" + v + "\n";
  }
  return s;
}

template <class TSender>
void RunCase(FakePage page, const TrackerCase& c, const std::string& fileName, const std::string& fileField) {
  SetWebSettings({5, 1, 20, "", 8u << 20});
  WebTempFolder folder;
  std::string zip("PK\x03\x04zip\r\nbytes", 14);
  std::string attached = folder.Write("BugReport.zip", zip);
  TrackerTest t(page);
  if (c.Setup) c.Setup(t.state);
  TSender sender;
  THTTPResponse response;
  EXPECT_EQ(sender.SendReport(t.Report(attached), response), c.Result);
  EXPECT_EQ(response.ErrorCode, c.ErrorCode) << response.ErrorText;
  if (c.ErrorCode) {
    EXPECT_EQ(response.ErrorText, WinInetErrorText(c.ErrorCode));
  }
  if (!c.Requests.empty()) {
    EXPECT_EQ(Describe(t.Recorded()), Describe(c.Requests));
  }
  // The archive goes up byte for byte with the file's name.
  for (const HttpRequestRecord& h : t.Server().Requests()) {
    for (const WebFormPart& part : ParseFormRequest(h).Parts) {
      if (part.Name != fileField) continue;
      EXPECT_EQ(part.FileName, fileName);
      EXPECT_EQ(part.Value, zip);
    }
  }
  SetWebSettings({});
}

// ---- Mantis ----

const std::vector<Req> kMantisSearch = {
    {"POST login.php", {{"return", "login_select_proj_page.php"}, {"username", "joe"}, {"password", "secret"}}},
    {"GET login_select_proj_page.php", {}},
    {"POST set_project.php", {{"project_id", "7"}}},
    {"GET my_view_page.php", {}},
    {"POST view_all_set.php?f=3", {{"type", "1"}, {"page_number", "1"}, {"view_type", "simple"}, {"search", "EMyError (1A2B)"}}},
    {"GET view_all_bug_page.php", {}},
};

std::vector<Req> Plus(std::vector<Req> a, const std::vector<Req>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::vector<Req> kMantisNew = Plus(
    kMantisSearch,
    {{"GET bug_report_advanced_page.php", {}},
     {"POST bug_report.php",
      {{"m_id", "0"}, {"project_id", "7"}, {"handler_id", "3"}, {"category", "2"}, {"reproducibility", "10"},
       {"severity", "50"}, {"priority", "30"}, {"platform", "x86_64"}, {"os", "Linux"}, {"os_build", "6.1"},
       {"build", "2.1.0.5"}, {"summary", "[v2.1.0.5 - 1]: EMyError (1A2B)"}, {"description", "Boom."},
       {"steps_to_reproduce", "Click twice"}, {"additional_info", ""}, {"view_state", "10"},
       {"bug_report_token", "tok&en"}, {"Custom", "field value"}, {"file", "BugReport.zip"}}}});

const std::vector<Req> kMantisOpen = Plus(kMantisSearch, {{"GET bug_update_page.php?bug%5Fid=42", {}}});

const std::vector<Req> kMantisUpdate = Plus(
    kMantisOpen,
    {{"POST bug_update.php",
      {{"summary", Summary(42)}, {"bug_id", "42"}, {"update_mode", "1"}, {"category", "2"}, {"severity", "50"},
       {"reproducibility", "10"}, {"reporter_id", "5"}, {"view_state", "10"}, {"handler_id", "3"},
       {"priority", "30"}, {"resolution", "10"}, {"description", "Boom."}, {"additional_information", ""},
       {"bugnote_text", ""}, {"build", "2.1.0.5"}, {"bug_update_token", "utok"}, {"Custom", "field value"}}},
     {"GET view.php?id=42", {}}});

auto Existing(int counter, bool closed = false) {
  return [=](FakeState& f) {
    f.Summary = Summary(counter);
    f.Closed = closed;
  };
}
auto Fail(const char* page, int counter = 0) {
  return [=](FakeState& f) {
    f.FailPage = page;
    if (counter) f.Summary = Summary(counter);
  };
}
auto Drop(const char* page, int counter = 0) {
  return [=](FakeState& f) {
    f.DropPage = page;
    if (counter) f.Summary = Summary(counter);
  };
}
auto Stall(const char* page, int counter = 0) {
  return [=](FakeState& f) {
    f.StallPage = page;
    if (counter) f.Summary = Summary(counter);
  };
}

class MantisConversation : public ::testing::TestWithParam<TrackerCase> {};
TEST_P(MantisConversation, Runs) { RunCase<THTTPMantisSendReport>(Mantis, GetParam(), "BugReport.zip", "file"); }

INSTANTIATE_TEST_SUITE_P(
    Mantis, MantisConversation,
    ::testing::Values(
        TrackerCase{"NewBug", nullptr, 0, kMantisNew},
        TrackerCase{"NewBugUnderPathPrefix", [](FakeState& f) { f.Prefix = "/mantis"; }, 0, kMantisNew},
        TrackerCase{"OtherIdentifierIsNoDuplicate", [](FakeState& f) { f.Summary = "[v2.1.0.5 - 3]: EMyError (FFFF)"; },
                    0, kMantisNew},
        TrackerCase{"Counter41Becomes42", Existing(41), 0, kMantisUpdate},
        TrackerCase{"Counter9999SendsNothing", Existing(9999), 0, kMantisOpen},
        TrackerCase{"ClosedBug", Existing(41, true), 1, kMantisOpen},
        TrackerCase{"LoginRefreshHeader", [](FakeState& f) { f.LoginRedirect = 200; }, 0, kMantisNew},
        TrackerCase{"Login301IsFinal", [](FakeState& f) { f.LoginRedirect = 301; }, 3,
                    {{"POST login.php", {{"return", "login_select_proj_page.php"}, {"username", "joe"}, {"password", "secret"}}}}},
        TrackerCase{"Login303IsFinal", [](FakeState& f) { f.LoginRedirect = 303; }, 3, {}},
        TrackerCase{"CheckLogin", Fail("login_select_proj_page.php"), 3, {}},
        TrackerCase{"CheckProject", Fail("my_view_page.php"), 4, {}},
        TrackerCase{"CheckSearch", Fail("view_all_bug_page.php"), 5, {}},
        TrackerCase{"CheckReportPage", Fail("bug_report_advanced_page.php"), 6, {}},
        TrackerCase{"CheckReported", Fail("bug_report.php"), 6, {}},
        TrackerCase{"CheckUpdatePage", Fail("bug_update_page.php", 41), 7, {}},
        TrackerCase{"CheckUpdated", Fail("bug_update.php", 41), 7, {}},
        TrackerCase{"DropLogin", Drop("login.php"), 3, {}, 12152},
        TrackerCase{"DropProject", Drop("set_project.php"), 4, {}, 12152},
        TrackerCase{"DropSearch", Drop("view_all_set.php"), 5, {}, 12152},
        TrackerCase{"DropReportPage", Drop("bug_report_advanced_page.php"), 6, {}, 12152},
        TrackerCase{"DropReport", Drop("bug_report.php"), 6, {}, 12152},
        TrackerCase{"DropUpdatePage", Drop("bug_update_page.php", 41), 7, {}, 12152},
        TrackerCase{"DropUpdate", Drop("bug_update.php", 41), 7, {}, 12152},
        TrackerCase{"StallLogin", Stall("login.php"), 3, {}, 12002},
        TrackerCase{"StallReport", Stall("bug_report.php"), 6, {}, 12002},
        TrackerCase{"StallUpdate", Stall("bug_update.php", 41), 7, {}, 12002}),
    [](const auto& info) { return std::string(info.param.Name); });

// ---- Bugzilla ----

const std::vector<Req> kBugzillaSearch = {
    {"POST enter_bug.cgi", {{"project", "Zelk"}, {"Bugzilla_login", "joe"}, {"Bugzilla_password", "secret"}}},
    {"GET buglist.cgi?query%5Fformat=specific&order=relevance%20desc&bug%5Fstatus=%5F%5Fall%5F%5F&product=Zelk&content=%20%281A2B%29",
     {}},
};

const std::vector<Req> kBugzillaNew = Plus(
    kBugzillaSearch,
    {{"GET enter_bug.cgi?product=Zelk", {}},
     {"POST post_bug.cgi",
      {{"product", "Zelk"}, {"version", "2.1.0.5"}, {"component", "Core"}, {"rep_platform", "PC"}, {"op_sys", "Linux"},
       {"priority", "P3"}, {"bug_severity", "normal"}, {"target_milestone", "---"}, {"bug_status", "NEW"},
       {"assigned_to", "dev"}, {"estimated_time", "0.0"}, {"bug_file_loc", "http://"},
       {"short_desc", "[v2.1.0.5 - 1]: EMyError (1A2B)"}, {"comment", "Boom.\r\n\r\n---\r\n\r\nClick twice"},
       {"form_name", "enter_bug"}, {"bug_status", "NEW"}, {"Custom", "field value"}}},
     {"POST attachment.cgi",
      {{"bugid", "43"}, {"action", "insert"}, {"description", "FILE"}, {"contenttypemethod", "list"},
       {"contenttypeselection", "application/octet-stream"}, {"contenttypeentry", ""}, {"flag_type-1", "X"},
       {"flag_type-2", "X"}, {"flag_type-3", "X"}, {"flag_type-4", "X"}, {"comment", ""}, {"data", "BugReport.zip"}}}});

const std::vector<Req> kBugzillaOpen = Plus(kBugzillaSearch, {{"GET show_bug.cgi?id=42", {}}});

const std::vector<Req> kBugzillaUpdate = Plus(
    kBugzillaOpen,
    {{"POST process_bug.cgi",
      {{"short_desc", Summary(42)}, {"delta_ts", "2026-12-10 10:00:00"}, {"longdesclength", "1"}, {"id", "42"},
       {"token", "btok"}, {"bug_file_loc", ""}, {"product", "Zelk"}, {"component", "Core"}, {"rep_platform", "PC"},
       {"op_sys", "Linux"}, {"version", "2.0"}, {"priority", "P3"}, {"bug_severity", "normal"},
       {"target_milestone", "---"}, {"flag_type-6", "X"}, {"comment", ""}, {"knob", "none"},
       {"assigned_to", "dev@example.com"}, {"form_name", "process_bug"}, {"Custom", "field value"}}}});

class BugzillaConversation : public ::testing::TestWithParam<TrackerCase> {};
TEST_P(BugzillaConversation, Runs) { RunCase<THTTPBugzillaSendReport>(Bugzilla, GetParam(), "BugReport.zip", "data"); }

INSTANTIATE_TEST_SUITE_P(
    Bugzilla, BugzillaConversation,
    ::testing::Values(TrackerCase{"NewBug", nullptr, 0, kBugzillaNew},
                      TrackerCase{"NewBugUnderPathPrefix", [](FakeState& f) { f.Prefix = "/bugzilla"; }, 0, kBugzillaNew},
                      TrackerCase{"Counter41Becomes42", Existing(41), 0, kBugzillaUpdate},
                      TrackerCase{"Counter9999SendsNothing", Existing(9999), 0, kBugzillaOpen},
                      TrackerCase{"ClosedBug", Existing(41, true), 1, kBugzillaOpen},
                      TrackerCase{"CheckLogin", Fail("login"), 3, {}},
                      TrackerCase{"CheckSearch", Fail("buglist.cgi"), 5, {}},
                      TrackerCase{"CheckProject", Fail("enter_bug.cgi"), 4, {}},
                      TrackerCase{"CheckPosted", Fail("post_bug.cgi"), 6, {}},
                      TrackerCase{"CheckAttached", Fail("attachment.cgi"), 6, {}},
                      TrackerCase{"CheckShowBug", Fail("show_bug.cgi", 41), 7, {}},
                      TrackerCase{"CheckProcessed", Fail("process_bug.cgi", 41), 7, {}},
                      TrackerCase{"DropSearch", Drop("buglist.cgi"), 5, {}, 12152},
                      TrackerCase{"DropPost", Drop("post_bug.cgi"), 6, {}, 12152},
                      TrackerCase{"DropAttachment", Drop("attachment.cgi"), 6, {}, 12152},
                      TrackerCase{"DropShowBug", Drop("show_bug.cgi", 41), 7, {}, 12152},
                      TrackerCase{"DropProcess", Drop("process_bug.cgi", 41), 7, {}, 12152},
                      TrackerCase{"StallAttachment", Stall("attachment.cgi"), 6, {}, 12002}),
    [](const auto& info) { return std::string(info.param.Name); });

// ---- FogBugz ----

const std::vector<Req> kFogBugzSearch = {
    {"POST default.asp", {{"pre", "preLogon"}, {"sPerson", "joe"}, {"sPassword", "secret"}, {"fRememberPassword", "0"}}},
    {"GET default.asp?pre=preSearch&pg=pgList&pgBack=pgSearch&search=1&bAlsoSearchClosedBugs=ON&searchFor=EMyError%20%281A2B%29",
     {}},
};

const std::vector<Req> kFogBugzNew = Plus(
    kFogBugzSearch,
    {{"GET default.asp?command=new&pg=pgEditBug", {}},
     {"POST default.asp?pre=preSubmitBug&sActionToken=tok%2F1",
      {{"command", "new"}, {"dtTimeStamp", "t1"}, {"ixBug", "0"}, {"sTitle", "[v2.1.0.5 - 1]: EMyError (1A2B)"},
       {"sEvent", "Boom.\r\n\r\n---\r\n\r\nClick twice"}, {"ixProject", "4"}, {"ixArea", "8"},
       {"ixPersonAssignedTo", "3"}, {"ixCategory", "1"}, {"ixFixFor", "2"}, {"ixPriority", "1"},
       {"hrsCurrEstNew", ""}, {"hrsElapsedNew", "0"}, {"sVersion", "2.1.0.5"}, {"sComputer", "pc"},
       {"Custom", "field value"}, {"nFileCount", "1"}, {"File1", "BugReport.zip"}}}});

const std::vector<Req> kFogBugzOpen = Plus(kFogBugzSearch, {{"GET default.asp?pg=pgEditBug&command=edit&ixBug=42", {}}});

const std::vector<Req> kFogBugzUpdate = Plus(
    kFogBugzOpen,
    {{"POST default.asp?pre=preSubmitBug&sActionToken=tok%2F1",
      {{"sTitle", Summary(42)}, {"command", "edit"}, {"dtTimeStamp", "t2"}, {"ixBug", "42"}, {"sOriginalTitle", "orig"},
       {"ixProject", "4"}, {"ixPriority", "1"}, {"nFileCount", "0"}, {"sEvent", "Boom."}, {"sOriginalTitle", "orig"},
       {"sVersion", "2.1.0.5"}, {"Custom", "field value"}}}});

class FogBugzConversation : public ::testing::TestWithParam<TrackerCase> {};
TEST_P(FogBugzConversation, Runs) { RunCase<THTTPFogBugzSendReport>(FogBugz, GetParam(), "BugReport.zip", "File1"); }

INSTANTIATE_TEST_SUITE_P(
    FogBugz, FogBugzConversation,
    ::testing::Values(TrackerCase{"NewBug", nullptr, 0, kFogBugzNew},
                      TrackerCase{"NewBugUnderPathPrefix", [](FakeState& f) { f.Prefix = "/fogbugz"; }, 0, kFogBugzNew},
                      TrackerCase{"Counter41Becomes42", Existing(41), 0, kFogBugzUpdate},
                      TrackerCase{"Counter9999SendsNothing", Existing(9999), 0, kFogBugzOpen},
                      TrackerCase{"ClosedBug", Existing(41, true), 1, kFogBugzOpen},
                      TrackerCase{"CheckLogin", Fail("preLogon"), 3, {}},
                      TrackerCase{"CheckSearch", Fail("preSearch"), 5, {}},
                      TrackerCase{"CheckSubmitted", Fail("preSubmitBug"), 6, {}},
                      TrackerCase{"CheckEditPage", Fail("pgEditBugedit", 41), 7, {}},
                      TrackerCase{"DropLogin", Drop("preLogon"), 3, {}, 12152},
                      TrackerCase{"DropNewPage", Drop("pgEditBugnew"), 6, {}, 12152},
                      TrackerCase{"DropSubmit", Drop("preSubmitBug"), 6, {}, 12152},
                      TrackerCase{"DropEditPage", Drop("pgEditBugedit", 41), 7, {}, 12152},
                      TrackerCase{"StallSearch", Stall("preSearch"), 5, {}, 12002}),
    [](const auto& info) { return std::string(info.param.Name); });

// ---- Page helpers ----

TEST(TrackerPages, TagsAttributesAndEntities) {
  std::string body =
      "<INPUT type=\"text\" name = \"a\" value=\"x > y &amp;lt;\" /><input name='b' value='2'>"
      "<input name=\"empty\" value=\"\"><input name=\"empty\" value=\"second\">"
      "<input data-name=\"c\" name=\"real\" value=\"r\">"
      "<select name=\"s\"><option value=\"1\">One</option><option value=\"2\" selected>Two</option></select>"
      "<select name=\"none\"><option value=\"1\">One</option></select>"
      "<select name=\"p\"><option value=\"7\">&nbsp;&nbsp;Zelk</option><option value=\"8\">Zelk &amp; Co</option></select>"
      "<textarea name=\"d\" rows=\"3\"> line one </textarea><textarea name=\"e\"></textarea>"
      "<a href=\"x?bug_id=12&y\">12</a><a href=\"x?bug_id=34\">34</a>"
      "<form action=\"default.asp?sActionToken=t/k\">";
  EXPECT_EQ(InputFieldValue(body, "a"), "x > y &lt;");  // decoded once, quotes keep ">"
  EXPECT_EQ(InputFieldValue(body, "B"), "2");
  EXPECT_EQ(InputFieldValue(body, "empty"), "second");  // an empty value is passed over
  EXPECT_EQ(InputFieldValue(body, "c"), std::nullopt);
  EXPECT_EQ(InputFieldValue(body, "real"), "r");
  EXPECT_EQ(SelectedOptionValue(body, "s"), "2");
  EXPECT_EQ(SelectedOptionValue(body, "none"), "");
  EXPECT_EQ(SelectedOptionValue(body, "missing"), std::nullopt);
  EXPECT_EQ(OptionValueByText(body, "s", "two"), "2");
  EXPECT_EQ(OptionValueByText(body, "s", "Three"), "");
  EXPECT_EQ(OptionValueByText(body, "p", "Zelk"), "7");
  EXPECT_EQ(OptionValueByText(body, "missing", "Zelk"), std::nullopt);
  EXPECT_EQ(TextAreaValue(body, "d"), "line one");
  EXPECT_EQ(TextAreaValue(body, "e"), "");
  EXPECT_EQ(TextAfterMarker(body, "bug_id="), "12");
  EXPECT_EQ(TextAfterMarker(body, "bug_id=", 2), "34");
  EXPECT_EQ(TextAfterMarker(body, "nothing="), "");
  EXPECT_EQ(QuotedValueAfterMarker(body, "sActionToken="), "t/k");
}

TEST(TrackerResponse, AssignFromNothingIsAnError) {
  THTTPResponse r;
  EXPECT_THROW(r.Assign(nullptr), EHTTPTrackerError);
}

TEST(TrackerAddresses, PathPortAndProxy) {
  TTrackerEndpoint e;
  e.WebAddress = ComposeTrackerAddress("https://bugs.example.com/mantis/index.php?x=1", 0);
  THTTPConnectionBase c(e);
  EXPECT_EQ(c.Host(), "bugs.example.com");
  EXPECT_EQ(c.Port(), 443);
  EXPECT_TRUE(c.Https());
  EXPECT_EQ(c.BasePath(), "mantis/index.php/");
  EXPECT_FALSE(c.UsesProxy());
  e.WebAddress = ComposeTrackerAddress("bugs.example.com", 8081);
  e.ProxyAddress = ComposeTrackerAddress("", 8080);  // no server: no proxy
  THTTPConnectionBase d(e);
  EXPECT_EQ(d.Port(), 8081);
  EXPECT_EQ(d.BasePath(), "/");
  EXPECT_FALSE(d.UsesProxy());
  e.ProxyAddress = ComposeTrackerAddress("proxy.lan", 0);
  THTTPConnectionBase p(e);
  EXPECT_TRUE(p.UsesProxy());
  EXPECT_EQ(p.Proxy().Server, "proxy.lan");
  EXPECT_EQ(p.Proxy().Port, 8080);
}

// ---- Certificates and proxies ----

TEST(TrackerTransport, SelfSignedRefusedThenAcceptedWithItsCaFile) {
  if (!HttpTestServer::TlsAvailable()) GTEST_SKIP() << "built without TLS";
  SetWebSettings({5, 5, 20, "", 8u << 20});
  WebTempFolder folder;
  TrackerTest t(Mantis, true);
  THTTPMantisSendReport sender;
  THTTPResponse response;
  EXPECT_EQ(sender.SendReport(t.Report(""), response), 3);
  EXPECT_EQ(response.ErrorCode, 12045);
  EXPECT_EQ(t.Server().RequestCount(), 0u);
  SetWebSettings({5, 5, 20, folder.Write("ca.pem", t.Server().CertificatePem()), 8u << 20});
  EXPECT_EQ(sender.SendReport(t.Report(""), response), 0) << response.ErrorText;
  // Without an attachment there is no file part.
  EXPECT_EQ(Describe(t.Recorded()), Describe(kMantisNew).substr(0, Describe(kMantisNew).find("    file=")));
  SetWebSettings({});
}

TEST(TrackerTransport, ThroughTheProxy) {
  SetWebSettings({5, 5, 20, "", 8u << 20});
  TrackerTest t(Bugzilla);
  RecordingProxy proxy;
  TTrackerReport report = t.Report("");
  report.Endpoint.ProxyAddress = ComposeTrackerAddress("127.0.0.1", static_cast<uint32_t>(proxy.Port()));
  report.Endpoint.ProxyUser = "pu";
  report.Endpoint.ProxyPassword = "pp";
  THTTPBugzillaSendReport sender;
  THTTPResponse response;
  EXPECT_EQ(sender.SendReport(report, response), 0) << response.ErrorText;
  ASSERT_FALSE(proxy.RequestLines().empty());
  EXPECT_EQ(proxy.RequestLines()[0],
            "POST http://127.0.0.1:" + std::to_string(t.Server().Port()) + "/enter_bug.cgi HTTP/1.1");
  EXPECT_EQ(proxy.Authorizations()[0], "Basic " + WebBase64("pu:pp"));
  EXPECT_EQ(t.Recorded().size(), kBugzillaNew.size());
  SetWebSettings({});
}

TEST(TrackerTransport, HttpsThroughTheProxyTunnels) {
  if (!HttpTestServer::TlsAvailable()) GTEST_SKIP() << "built without TLS";
  WebTempFolder folder;
  TrackerTest t(FogBugz, true);
  SetWebSettings({5, 5, 20, folder.Write("ca.pem", t.Server().CertificatePem()), 8u << 20});
  RecordingProxy proxy;
  TTrackerReport report = t.Report("");
  report.Endpoint.ProxyAddress = ComposeTrackerAddress("127.0.0.1", static_cast<uint32_t>(proxy.Port()));
  THTTPFogBugzSendReport sender;
  THTTPResponse response;
  EXPECT_EQ(sender.SendReport(report, response), 0) << response.ErrorText;
  ASSERT_FALSE(proxy.RequestLines().empty());
  EXPECT_EQ(proxy.RequestLines()[0], "CONNECT 127.0.0.1:" + std::to_string(t.Server().Port()) + " HTTP/1.1");
  SetWebSettings({});
}

struct RedirectCase {
  const char* Name;
  std::function<HttpResponse(int port, int call)> Answer;  // call counts from 0
  size_t MaxResponseBytes;
  size_t Requests;
  int ErrorCode;
};

class TrackerLimits : public ::testing::TestWithParam<RedirectCase> {};

TEST_P(TrackerLimits, EndTheLogin) {
  const RedirectCase& c = GetParam();
  SetWebSettings({5, 5, 20, "", c.MaxResponseBytes});
  HttpTestServer server;
  int calls = 0;
  const int port = server.Port();
  server.SetHandler([&](const HttpRequestRecord&) { return c.Answer(port, calls++); });
  TTrackerReport report;
  report.Endpoint.WebAddress = ComposeTrackerAddress("http://127.0.0.1", static_cast<uint32_t>(server.Port()));
  THTTPMantisSendReport sender;
  THTTPResponse response;
  EXPECT_EQ(sender.SendReport(report, response), 3);
  EXPECT_EQ(response.ErrorCode, c.ErrorCode);
  EXPECT_EQ(server.RequestCount(), c.Requests);
  SetWebSettings({});
}

INSTANTIATE_TEST_SUITE_P(
    Limits, TrackerLimits,
    ::testing::Values(
        RedirectCase{"RedirectLoopStopsAfterTen", [](int, int) { return Redirect(302, "loop.php"); },
                     8u << 20, 11, 0},
        RedirectCase{"OtherHostIsNotFollowed",
                     [](int port, int) { return Redirect(302, "http://localhost:" + std::to_string(port) + "/x.php"); },
                     8u << 20, 1, 12160},
        RedirectCase{"OtherSchemeIsNotFollowed",
                     [](int port, int) { return Redirect(302, "https://127.0.0.1:" + std::to_string(port) + "/x.php"); },
                     8u << 20, 1, 12039},
        RedirectCase{"SamePlaceAbsoluteIsFollowed",
                     [](int port, int call) {
                       return call > 0 ? Html("") : Redirect(302, "http://127.0.0.1:" + std::to_string(port) + "/y.php");
                     },
                     8u << 20, 2, 0},
        RedirectCase{"BodyOverTheCap", [](int, int) { return Html(std::string(4096, 'x')); }, 1024, 1,
                     12004}),
    [](const auto& info) { return std::string(info.param.Name); });

// ---- The whole route ----

class RecordingUi : public IExceptionUi {
 public:
  void ShowExceptionDialog(const TTarvexExceptionRecord&, TDialogKind, bool, bool, TDialogState&) override {}
  void ShowReproduceRequest(TTarvexModuleOptions&) override {}
  bool DialogOnScreen() const override { return false; }
  void ShowSendDialog(const TTarvexModuleOptions&, bool modal) override { shown.push_back(modal); }
  void SetSendDialogStep(const std::string& text) override { steps.push_back(text); }
  void SetSendDialogPosition(int percent) override { positions.push_back(percent); }
  void CloseSendDialog() override { ++closed; }
  bool ShowMessageBox(const std::string& caption, const std::string& text, TMessageBoxIcon icon) override {
    boxes.push_back(caption + "|" + text + (icon == mbInformation ? "|i" : "|e"));
    return true;
  }
  std::vector<bool> shown;
  std::vector<std::string> steps, boxes;
  std::vector<int> positions;
  int closed = 0;
};

class TrackerRoute : public ::testing::Test {
 protected:
  void SetUp() override {
    SetWebSettings({5, 5, 20, "", 8u << 20});
    SetExceptionUi(ui);
    ClearWarning();
    options.SetWebAddress("http://127.0.0.1");
    options.SetTrackerAuthUser("joe");
    options.SetTrackerAuthPassword("secret");
    options.SetTrackerProjectName("Zelk");
    options.SetSendFlags(TSendFlags{sfShowSendProgress, sfSendInThread});
    context.Options = &options;
  }
  void TearDown() override {
    SetExceptionUi(nullptr);
    SetWebSettings({});
  }
  std::shared_ptr<RecordingUi> ui = std::make_shared<RecordingUi>();
  TTarvexModuleOptions options;
  TDeliveryContext context;
};

TEST_F(TrackerRoute, ClosedBugIsToldOnceAndTheBarOnlyRises) {
  TrackerTest t(Mantis);
  t.state.Summary = "[v - 41]: Unknown exception type ()";  // no report in progress: no class, no identifier
  t.state.Closed = true;
  options.SetWebMode(wmMantis);
  options.SetWebServerPort(static_cast<uint32_t>(t.Server().Port()));
  EXPECT_TRUE(SendWebReport(context));
  EXPECT_TRUE(context.TrackerSaidClosed);
  EXPECT_EQ(ui->shown, std::vector<bool>{false});  // not modal in the send thread
  EXPECT_EQ(ui->boxes, std::vector<std::string>{options.GetText(0) + "|" + options.GetText(146) + "|i"});
  EXPECT_TRUE(std::is_sorted(ui->positions.begin(), ui->positions.end())) << ::testing::PrintToString(ui->positions);
  ASSERT_FALSE(ui->positions.empty());
  EXPECT_EQ(ui->positions.back(), 100);
  EXPECT_EQ(ui->closed, 1);
  for (int text : {114, 115, 113, 118, 119, 120, 121, 122})
    EXPECT_NE(std::find(ui->steps.begin(), ui->steps.end(), options.GetText(text)), ui->steps.end()) << text;
}

TEST_F(TrackerRoute, FailedStepIsWarnedWithItsText) {
  TrackerTest t(Bugzilla);
  t.state.FailPage = "login";
  options.SetWebMode(wmBugzilla);
  options.SetWebServerPort(static_cast<uint32_t>(t.Server().Port()));
  EXPECT_FALSE(SendWebReport(context));
  EXPECT_FALSE(context.TrackerSaidClosed);
  EXPECT_EQ(LastWarningCode(), eeWebTrakerError);
  EXPECT_EQ(LastWarningText(), options.GetText(148) + "\r\n\r\nError Code: 0\r\nError Message: \"\"");
  EXPECT_TRUE(ui->boxes.empty());
}

TEST_F(TrackerRoute, RefusedConnectionCarriesItsCode) {
  options.SetWebMode(wmFogBugz);
  options.SetWebServerPort(static_cast<uint32_t>(RefusedLoopbackPort()));
  EXPECT_FALSE(SendWebReport(context));
  EXPECT_EQ(LastWarningText(), options.GetText(148) +
                                   "\r\n\r\nError Code: 12029\r\nError Message: \"The attempt to connect to the server failed.\"");
}

}  // namespace
