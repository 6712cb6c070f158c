// The Mantis conversation.
#include "delivery/EWebTracker.h"

namespace {

bool Digits(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

int THTTPMantisSendReport::Converse(THTTPConnectionBase& c, const TTrackerReport& r, THTTPResponse& response) {
  // Texts are UTF-8 already.
  const std::string& project = r.Project;
  c.NotifyStatus(2, 0);
  c.SetRequest("login.php", rmPostForm);
  c.AddField("return", "login_select_proj_page.php");
  c.AddField("username", r.User);
  c.AddField("password", r.Password);
  if (!c.Execute(response, false) || !c.CheckResponse("login_select_proj_page.php", "name=\"project_id\"", ""))
    return trLoginFailed;

  c.NotifyStatus(3, 0);
  c.SetRequest("set_project.php", rmPostForm);
  c.SelectOptionByText("project_id", project);
  if (!c.Execute(response, false)) return trProjectFailed;
  if (!c.CheckResponse("my_view_page.php", ">" + project + "</option>", "") &&
      !c.CheckResponse("my_view_page.php", " " + project + "</option>", ""))
    return trProjectFailed;

  c.NotifyStatus(4, 0);
  c.SetRequest("view_all_set.php?f=3", rmPostForm);
  c.AddField("type", "1");
  c.AddField("page_number", "1");
  c.AddField("view_type", "simple");
  c.AddSearchField("search", r.ExceptionClass, r.Identifier);
  if (!c.Execute(response, false)) return trSearchFailed;
  if (!c.CheckResponse("view_all_bug_page.php", "name=\"reset_query_button\"", "") &&
      !c.CheckResponse("view_all_bug_page.php", "name=\"source_query_id\"", ""))
    return trSearchFailed;

  const std::string& body = c.LastResponse().Body;
  const bool found = body.find("bug_update_page.php?bug_id=") != std::string::npos ||
                     body.find("bug_update_advanced_page.php?bug_id=") != std::string::npos;
  if (!found) {
    c.SetRequest("bug_report_advanced_page.php", rmGet);
    if (!c.Execute(response, false) || !c.CheckResponse("bug_report_advanced_page.php", "name=\"file\" type=\"file\"", ""))
      return trInsertFailed;
    c.SetRequest("bug_report.php", rmPostMultipart);
    c.CopyInputField("m_id");
    c.CopyInputField("project_id");
    c.SelectOptionByText("handler_id", r.Assignee);
    c.SelectOptionByText("category", r.Category);
    c.AddField("reproducibility", "10");
    c.CopySelectField("severity");
    c.CopySelectField("priority");
    c.CopyInputField("platform");
    c.AddField("os", TrackerFixedValue(r, "TL_OSType"));
    c.AddField("os_build", TrackerFixedValue(r, "TL_OSBuild"));
    c.AddField("build", r.Version);
    c.AddSummaryField("summary", r.Version, r.ExceptionClass, r.Identifier);
    c.AddField("description", r.Message);
    c.AddField("steps_to_reproduce", TrackerFixedValue(r, "TL_ReproduceText"));
    c.AddField("additional_info", "");
    c.AddField("view_state", "10");
    c.CopyInputField("report_stay");
    c.CopyInputField("bug_report_token");
    c.AddCustomFields(r.CustomFields);
    if (!r.AttachedFile.empty()) c.AddFile("file", r.AttachedFile);
    if (!c.Execute(response, true)) return trInsertFailed;
    return c.CheckResponse("bug_report.php", "href=\"view.php?id=", "") ? trDelivered : trInsertFailed;
  }

  c.NotifyStatus(5, 0);
  std::string id = TextAfterMarker(body, "bug_update_page.php?bug_id=");
  if (id.empty()) id = TextAfterMarker(body, "bug_update_advanced_page.php?bug_id=");
  if (!Digits(id)) return trModifyFailed;
  c.SetRequest("bug_update_page.php", rmGet);
  c.AddField("bug_id", id);
  if (!c.Execute(response, false) || !c.CheckResponse("bug_update_page.php", "name=\"severity\"", ""))
    return trModifyFailed;
  c.SetRequest("bug_update.php", rmPostForm);
  if (!c.IncrementSummaryCounter("summary")) return trDelivered;
  std::string status = SelectedOptionValue(c.LastResponse().Body, "status").value_or("");
  if (status == "80" || status == "90") return trBugClosed;
  c.AddField("bug_id", id);
  c.CopyInputField("update_mode");
  for (const char* name : {"category", "severity", "reproducibility", "reporter_id", "view_state", "handler_id", "priority"})
    c.CopySelectField(name);
  c.CopySelectFieldIfSet("resolution");
  c.CopyTextAreaField("description");
  c.CopyTextAreaField("additional_information");
  c.CopyTextAreaField("bugnote_text");
  c.AddField("build", r.Version);
  c.CopyInputField("bug_update_token");
  c.AddCustomFields(r.CustomFields);
  if (!c.Execute(response, true)) return trModifyFailed;
  return (c.CheckResponse("bug_update.php", "href=\"view.php?id=", "") ||
          c.CheckResponse("view.php", "href=\"view.php?id=", ""))
             ? trDelivered
             : trModifyFailed;
}
