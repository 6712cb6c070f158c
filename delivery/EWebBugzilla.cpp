// The Bugzilla conversation (the category is not used).
#include "delivery/EWebTracker.h"

namespace {

bool Digits(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

void AddVersion(THTTPConnectionBase& c, const std::string& version) {
  if (c.LastResponse().Body.find("<option value=\"" + version + "\">") != std::string::npos)
    c.AddField("version", version);
  else
    c.CopySelectField("version");
}

}  // namespace

int THTTPBugzillaSendReport::Converse(THTTPConnectionBase& c, const TTrackerReport& r, THTTPResponse& response) {
  c.NotifyStatus(2, 0);
  c.SetRequest("enter_bug.cgi", rmPostForm);
  c.AddField("project", r.Project);
  c.AddField("Bugzilla_login", r.User);
  c.AddField("Bugzilla_password", r.Password);
  if (!c.Execute(response, false) || !c.CheckResponse("enter_bug.cgi", "relogin.cgi", "")) return trLoginFailed;

  c.NotifyStatus(4, 0);
  c.SetRequest("buglist.cgi", rmGet);
  c.AddField("query_format", "specific");
  c.AddField("order", "relevance desc");
  c.AddField("bug_status", "__all__");
  c.AddField("product", r.Project);
  c.AddSearchField("content", "", r.Identifier);
  if (!c.Execute(response, false) || !c.CheckResponse("buglist.cgi", "href=\"query.cgi?", "")) return trSearchFailed;

  if (c.LastResponse().Body.find("show_bug.cgi?id=") == std::string::npos) {
    c.NotifyStatus(3, 0);
    c.SetRequest("enter_bug.cgi", rmGet);
    c.AddField("product", r.Project);
    if (!c.Execute(response, false) || !c.CheckResponse("enter_bug.cgi", "action=\"post_bug.cgi\"", ""))
      return trProjectFailed;
    c.SetRequest("post_bug.cgi", rmPostForm);
    c.CopyInputField("product");
    AddVersion(c, r.Version);
    // The component as CopySelectField finds it, else the one the page's script names first.
    std::optional<std::string> component = SelectedOptionValue(c.LastResponse().Body, "component");
    if (!component) component = InputFieldValue(c.LastResponse().Body, "component");
    if (!component || component->empty())
      component = QuotedValueAfterMarker(c.LastResponse().Body, "components[0] = \"");
    c.AddField("component", *component);
    for (const char* name : {"rep_platform", "op_sys", "priority", "bug_severity", "target_milestone"}) c.CopySelectField(name);
    c.CopyInputField("bug_status");
    c.AddField("assigned_to", r.Assignee.empty() ? r.User : r.Assignee);
    for (const char* name : {"qa_contact", "cc", "estimated_time", "deadline", "bug_file_loc"}) c.CopyInputField(name);
    c.AddSummaryField("short_desc", r.Version, r.ExceptionClass, r.Identifier);
    c.AddField("comment", TrackerReportText(r));
    for (const char* name : {"keywords", "dependson", "blocked"}) c.CopyInputField(name);
    c.AddField("form_name", "enter_bug");
    c.CopySelectField("bug_status");
    c.AddCustomFields(r.CustomFields);
    if (!c.Execute(response, false) || !c.CheckResponse("post_bug.cgi", "show_bug.cgi?id=", "")) return trInsertFailed;
    std::string bugId = InputFieldValue(c.LastResponse().Body, "id").value_or("");
    if (!Digits(bugId)) return trInsertFailed;
    c.SetRequest("attachment.cgi", rmPostMultipart);
    c.AddField("bugid", bugId);
    c.AddField("action", "insert");
    c.AddField("description", "FILE");
    c.AddField("contenttypemethod", "list");
    c.AddField("contenttypeselection", "application/octet-stream");
    c.AddField("contenttypeentry", "");
    for (const char* name : {"flag_type-1", "flag_type-2", "flag_type-3", "flag_type-4"}) c.AddField(name, "X");
    c.AddField("comment", "");
    if (!r.AttachedFile.empty()) c.AddFile("data", r.AttachedFile);
    if (!c.Execute(response, true)) return trInsertFailed;
    return c.CheckResponse("attachment.cgi", "attachment.cgi", "") ? trDelivered : trInsertFailed;
  }

  c.NotifyStatus(5, 0);
  std::string id = TextAfterMarker(c.LastResponse().Body, "show_bug.cgi?id=");
  if (!Digits(id)) return trModifyFailed;
  c.SetRequest("show_bug.cgi", rmGet);
  c.AddField("id", id);
  if (!c.Execute(response, false)) return trModifyFailed;
  bool formPage = false;
  for (const char* marker : {"name=\"form_name\"", "type=\"hidden\" id=\"component\"",
                             "select id=\"component\" name=\"component\"", "<label for=\"component\" accesskey=\""})
    formPage = formPage || c.CheckResponse("show_bug.cgi", marker, "");
  if (!formPage) return trModifyFailed;
  c.SetRequest("process_bug.cgi", rmPostForm);
  if (!c.IncrementSummaryCounter("short_desc")) return trDelivered;
  const std::string& body = c.LastResponse().Body;
  if (body.find("value=\"reopen\"") != std::string::npos || body.find("value=\"reopened\"") != std::string::npos)
    return trBugClosed;
  for (const char* name : {"delta_ts", "longdesclength", "id", "token", "alias"}) c.CopyInputField(name);
  size_t before = c.Fields().size();
  c.CopyInputField("bug_file_loc");
  if (c.Fields().size() == before) c.AddField("bug_file_loc", "");
  for (const char* name : {"product", "component", "rep_platform", "op_sys"}) c.CopySelectField(name);
  AddVersion(c, r.Version);
  for (const char* name : {"priority", "bug_severity", "target_milestone"}) c.CopySelectField(name);
  for (const char* name : {"newcc", "cc", "qa_contact", "bug_file_loc", "status_whiteboard", "keywords"})
    c.CopyInputField(name);
  c.AddField("flag_type-6", "X");
  for (const char* name : {"requestee_type-6", "dependson", "blocked"}) c.CopyInputField(name);
  c.CopyTextAreaField("comment");
  c.AddField("knob", "none");
  c.CopySelectFieldIfSet("resolution");
  for (const char* name : {"dup_id", "assigned_to", "form_name"}) c.CopyInputField(name);
  c.AddCustomFields(r.CustomFields);
  if (!c.Execute(response, true)) return trModifyFailed;
  return c.CheckResponse("process_bug.cgi", "show_bug.cgi?id=", "") ? trDelivered : trModifyFailed;
}
