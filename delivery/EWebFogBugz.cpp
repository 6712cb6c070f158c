// The FogBugz conversation.
#include "delivery/EWebTracker.h"

namespace {

bool Digits(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

void SetSubmitRequest(THTTPConnectionBase& c) {
  std::string token = QuotedValueAfterMarker(c.LastResponse().Body, "sActionToken=");
  c.SetRequest(token.empty() ? "default.asp?pre=preSubmitBug"
                             : "default.asp?pre=preSubmitBug&sActionToken=" + WebUrlEncode(token),
               rmPostMultipart);
}

}  // namespace

int THTTPFogBugzSendReport::Converse(THTTPConnectionBase& c, const TTrackerReport& r, THTTPResponse& response) {
  c.NotifyStatus(2, 0);
  c.SetRequest("default.asp", rmPostForm);
  c.AddField("pre", "preLogon");
  c.AddField("sPerson", r.User);
  c.AddField("sPassword", r.Password);
  c.AddField("fRememberPassword", "0");
  std::string trial = TrackerFixedValue(r, "FogBugzTrialID");
  if (!trial.empty()) c.AddField("ID", trial);
  if (!c.Execute(response, false) || !c.CheckResponse("default.asp", "pre=preLogOff", "")) return trLoginFailed;

  c.NotifyStatus(4, 0);
  c.SetRequest("default.asp", rmGet);
  c.AddField("pre", "preSearch");
  c.AddField("pg", "pgList");
  c.AddField("pgBack", "pgSearch");
  c.AddField("search", "1");
  c.AddField("bAlsoSearchClosedBugs", "ON");
  c.AddSearchField("searchFor", r.ExceptionClass, r.Identifier);
  if (!c.Execute(response, false) || !c.CheckResponse("default.asp", "searchFor=", "")) return trSearchFailed;

  const std::string& found = c.LastResponse().Body;
  if (found.find("default.asp?pg=pgeditbug") == std::string::npos &&
      found.find("default.asp?pgx=EV&amp;ixBug=") == std::string::npos) {
    c.NotifyStatus(3, 0);
    c.SetRequest("default.asp", rmGet);
    c.AddField("command", "new");
    c.AddField("pg", "pgEditBug");
    if (!c.Execute(response, false) || !c.CheckResponse("default.asp", "", "")) return trInsertFailed;
    SetSubmitRequest(c);
    for (const char* name : {"command", "dtTimeStamp", "ixBug", "ixBugEventLatest", "ixPersonLastOwner", "ixDiscussTopic",
                             "ixScreenshot", "sOriginalTitle"})
      c.CopyInputField(name);
    c.AddSummaryField("sTitle", r.Version, r.ExceptionClass, r.Identifier);
    c.AddField("sEvent", TrackerReportText(r));
    c.SelectOptionByText("ixProject", r.Project);
    c.SelectOptionByText("ixArea", r.Project + ": " + r.Category);
    if (!r.Assignee.empty()) c.SelectOptionByText("ixPersonAssignedTo", r.Assignee);
    else c.CopySelectField("ixPersonAssignedTo");
    c.CopySelectField("ixCategory");
    c.CopySelectField("ixFixFor");
    c.AddField("ixPriority", "1");
    c.CopyInputField("sDueDate");
    c.CopyInputField("sDueTime");
    c.AddField("hrsCurrEstNew", "");
    for (const char* name : {"hrsElapsedNew", "omitAtt", "fIEFileBrowse"}) c.CopyInputField(name);
    c.AddField("sVersion", r.Version);
    c.CopyInputField("sComputer");
    c.CopyInputField("dblTimeStamp");
    c.AddCustomFields(r.CustomFields);
    if (!r.AttachedFile.empty()) {
      c.AddField("nFileCount", "1");
      c.AddFile("File1", r.AttachedFile);
    } else {
      c.AddField("nFileCount", "0");
    }
    if (!c.Execute(response, true)) return trInsertFailed;
    return c.CheckResponse("default.asp", "command=resolve", "") ? trDelivered : trInsertFailed;
  }

  c.NotifyStatus(5, 0);
  std::string id = TextAfterMarker(found, "ixBug=");
  if (!Digits(id)) return trModifyFailed;
  c.SetRequest("default.asp", rmGet);
  c.AddField("pg", "pgEditBug");
  c.AddField("command", "edit");
  c.AddField("ixBug", id);
  if (!c.Execute(response, false) || !c.CheckResponse("default.asp", "name=\"OK\"", "")) return trModifyFailed;
  SetSubmitRequest(c);
  if (!c.IncrementSummaryCounter("sTitle")) return trDelivered;
  if (c.LastResponse().Body.find("default.asp?pg=pgEditReleaseNotes") != std::string::npos) return trBugClosed;
  c.CopyInputField("command");
  c.CopyInputField("dtTimeStamp");
  c.AddField("ixBug", id);
  for (const char* name : {"ixBugEventLatest", "ixPersonLastOwner", "ixDiscussTopic", "ixScreenshot", "sOriginalTitle", "sEvent"})
    c.CopyInputField(name);
  for (const char* name : {"ixProject", "ixArea", "ixPersonAssignedTo", "ixCategory", "ixFixFor", "ixPriority"})
    c.CopySelectField(name);
  for (const char* name : {"sDueDate", "sDueTime", "hrsCurrEstNew", "hrsElapsedNew", "dblTimeStamp", "fIEFileBrowse",
                           "fIEFileBrowse", "hrsCurrEstNew", "idSubscriptionState", "ixDiscussTopic", "ixPersonLastOwner",
                           "nFileCount", "omitAtt", "sComputer"})
    c.CopyInputField(name);
  c.CopyTextAreaField("sEvent");
  c.CopyInputField("sOriginalTitle");
  c.AddField("sVersion", r.Version);
  c.AddCustomFields(r.CustomFields);
  if (!c.Execute(response, true)) return trModifyFailed;
  return c.CheckResponse("default.asp", "command=resolve", "") ? trDelivered : trModifyFailed;
}
