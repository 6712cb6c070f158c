#include "reporting/options/ETexts.h"
#include "runtime/NoDestroy.h"

#include <array>

namespace {

using E = TCustomizedTextInfo;

constexpr E kMessageCaptions[] = {
    {0, "Information", "Information."},
    {1, "Question", "Question."},
    {2, "Error", "Error."},
};

constexpr E kTarvexDialog[] = {
    {3, "Caption (all types)", "Error occurred"},
    {4, "Error message",
     "An error has occurred during program execution.\r\nPlease read the following information for further details."},
    {5, "General Caption", "General"},
    {6, "General Header", "General Information"},
    {7, "Call Stack Caption", "Call Stack"},
    {8, "Call Stack Header", "Call Stack Information"},
    {9, "Modules List Caption", "Modules"},
    {10, "Modules List Header", "Modules Information"},
    {11, "Processes List Caption", "Processes"},
    {12, "Processes List Header", "Processes Information"},
    {13, "Asembler Caption", "Assembler"},
    {14, "Assembler Header", "Assembler Information"},
    {15, "CPU Caption", "CPU"},
    {16, "CPU Header", "CPU Information"},
    {17, "OK Button", "&OK"},
    {18, "Terminate Button", "&Terminate"},
    {19, "Restart Button", "&Restart"},
    {20, "Details Button", "&Details"},
    {21, "Custom Button (all typed)", "&Help"},
    {22, "Internet message", "&Send this error via Internet"},
    {23, "Screenshot message", "&Attach a Screenshot image"},
    {24, "Copy message", "&Copy to Clipboard"},
    {25, "Support message", "Go to the Support Page"},
};

constexpr E kClassicDialog[] = {
    {26, "Error message", "The application has encountered a problem. We are sorry for the inconvenience."},
    {27, "Restart message", "Restart application."},
    {28, "Terminate message", "Terminate application."},
    {29, "\"Please...\" message", "Please tell us about this problem."},
    {30, "Details message",
     "We have created an error report that you can send to us. We will treat this report as confidential and "
     "anonymous."},
    {31, "\"To see...\" message", "To see what data the error report contains,"},
    {32, "\"click here\" message", "click here."},
    {33, "\"How to reproduce\" message", "What were you doing when the problem happened (optional)?"},
    {34, "\"Email address\" text", "Email address (optional):"},
    {35, "Send Button", "&Send Error Report"},
    {36, "Don't Send Button", "&Don't Send"},
};

constexpr E kSendDialog[] = {
    {110, "Caption", "Send."},
    {111, "Message", "Message"},
    {112, "Resolving message", "Resolving DNS..."},
    {113, "Login message", "Login..."},
    {114, "Connecting message", "Connecting with server..."},
    {115, "Connected message", "Connected with server."},
    {116, "Sending message", "Sending message..."},
    {117, "Sent message", "Message sent."},
    {118, "Select project message", "Select project..."},
    {119, "Searching message", "Searching..."},
    {120, "Modifying message", "Modifying..."},
    {121, "Disconnecting message", "Disconnecting..."},
    {122, "Disconnected message", "Disconnected."},
};

constexpr E kReproduceDialog[] = {
    {123, "Caption", "Request"},
    {124, "Request message", "Please describe the steps to reproduce the error:"},
    {125, "OK Button", "&OK"},
};

constexpr E kGeneralData[] = {
    {37, "Application Header", "Application"},
    {38, "    Start Date", "Start Date"},
    {39, "    Name/Description", "Name/Description"},
    {40, "    Version Number", "Version Number"},
    {41, "    Parameters", "Parameters"},
    {42, "    Compilation Date", "Compilation Date"},
    {43, "    Up Time", "Up Time"},
    {44, "Exception Header", "Exception"},
    {45, "    Date", "Date"},
    {46, "    Address", "Address"},
    {47, "    Module Name", "Module Name"},
    {48, "    Module Version", "Module Version"},
    {49, "    Type", "Type"},
    {50, "    Message", "Message"},
    {51, "    ID", "ID"},
    {52, "    Count", "Count"},
    {53, "    Status", "Status"},
    {54, "    Note", "Note"},
    {55, "User Header", "User"},
    {56, "    ID", "ID"},
    {57, "    Name", "Name"},
    {58, "    Email", "Email"},
    {59, "    Company", "Company"},
    {60, "    Privileges", "Privileges"},
    {61, "Active Controls Header", "Active Controls"},
    {62, "    Form Class", "Form Class"},
    {63, "    Form Text", "Form Text"},
    {64, "    Control Class", "Control Class"},
    {65, "    Control Text", "Control Text"},
    {66, "Computer Header", "Computer"},
    {67, "    Name", "Name"},
    {68, "    Total Memory", "Total Memory"},
    {69, "    Free Memory", "Free Memory"},
    {70, "    Total Disk", "Total Disk"},
    {71, "    Free Disk", "Free Disk"},
    {72, "    System Up Time", "System Up Time"},
    {73, "    Processor", "Processor"},
    {74, "    Display Mode", "Display Mode"},
    {75, "    Display DPI", "Display DPI"},
    {76, "    Video Card", "Video Card"},
    {77, "    Printer", "Printer"},
    {78, "Operating System Header", "Operating System"},
    {79, "    Type", "Type"},
    {80, "    Build #", "Build #"},
    {81, "    Update", "Update"},
    {82, "    Language", "Language"},
    {83, "    Charset", "Charset"},
    {84, "Network Header", "Network"},
    {85, "    IP Address", "IP Address"},
    {86, "    Submask", "Submask"},
    {87, "    Gateway", "Gateway"},
    {88, "    DNS 1", "DNS 1"},
    {89, "    DNS 2", "DNS 2"},
    {90, "    DHCP", "DHCP"},
    {91, "Custom Information Header", "Custom Information"},
};

constexpr E kCallStack[] = {
    {92, "Address", "Address"},
    {93, "Module", "Module"},
    {94, "Unit", "Unit"},
    {95, "Class", "Class"},
    {96, "Procedure/Method", "Procedure/Method"},
    {97, "Line", "Line"},
};

constexpr E kThreadsData[] = {
    {98, "Main Thread", "Main"},
    {99, "Exception Thread", "Exception Thread"},
    {100, "Running Thread", "Running Thread"},
    {101, "Calling Thread", "Calling Thread"},
    {102, "Thread ID", "ID"},
    {103, "Thread Priority", "Priority"},
    {104, "Thread Class", "Class"},
};

constexpr E kLeaksData[] = {
    {105, "Leak Caption", "Memory Leak"},
    {106, "Leak 'Data'", "Data"},
    {107, "Leak Type", "Type"},
    {108, "Leak Size", "Total size"},
    {109, "Leak Count", "Count"},
};

constexpr E kModulesList[] = {
    {126, "Handle", "Handle"},
    {127, "Name", "Name"},
    {128, "Description", "Description"},
    {129, "Version", "Version"},
    {130, "Size", "Size"},
    {131, "Last Modified", "Modified"},
    {132, "Path", "Path"},
};

constexpr E kProcessesList[] = {
    {133, "ID", "ID"},
    {134, "Name", "Name"},
    {135, "Description", "Description"},
    {136, "Version", "Version"},
    {137, "Memory", "Memory"},
    {138, "Priority", "Priority"},
    {139, "Threads", "Threads"},
    {140, "Path", "Path"},
};

constexpr E kCpu[] = {
    {141, "Registers", "Registers"},
    {142, "Stack", "Stack"},
    {143, "Memory Dump", "Memory Dump"},
};

constexpr E kSendMessages[] = {
    {144, "Success", "The message was sent successfully."},
    {145, "Failure", "Sorry, sending the message didn't work."},
    {146, "Bug closed", "These BUG is just closed.\r\nContact the program support to obtain an update."},
    {147, "Unknown error", "Unknown error."},
    {148, "Invalid login", "Invalid login request."},
    {149, "Invalid search", "Invalid search request."},
    {150, "Invalid selection", "Invalid selection request."},
    {151, "Invalid insert", "Invalid insert request."},
    {152, "Invalid modify", "Invalid modify request."},
};

constexpr E kOtherMessages[] = {
    {154, "Multi Free exception", "Multi Free memory leak."},
    {155, "Memory Overrun exception", "Memory Overrun leak."},
    {156, "Anti Freeze exception", "The application seems to be frozen."},
    {157, "Invalid email", "Invalid email."},
};

constexpr TCustomizedTextGroup kGroups[] = {
    {"Message captions", kMessageCaptions},
    {"Exception Dialog (TarvexLog type)", kTarvexDialog},
    {"Exception Dialog (MS Classic type)", kClassicDialog},
    {"Send Dialog", kSendDialog},
    {"Reproduce Dialog", kReproduceDialog},
    {"General Data", kGeneralData},
    {"Call Stack", kCallStack},
    {"Threads Data", kThreadsData},
    {"Leaks Data", kLeaksData},
    {"Modules List", kModulesList},
    {"Processes List", kProcessesList},
    {"CPU", kCpu},
    {"Send messages", kSendMessages},
    {"Other messages", kOtherMessages},
};

struct TextTables {
  std::array<std::string, kCustomizedTextCount> defaults, captions, groups;
};

const TextTables& Tables() {
  static const TNoDestroy<TextTables> tables([] {
    TextTables t;
    for (const auto& g : kGroups)
      for (const auto& e : g.Entries) {
        t.defaults[e.Index] = e.DefaultText;
        t.captions[e.Index] = e.Caption;
        t.groups[e.Index] = g.Caption;
      }
    return t;
  }());
  return *tables;
}

const std::string& Lookup(const std::array<std::string, kCustomizedTextCount>& table, int index) {
  static const TNoDestroy<std::string> empty;
  return index >= 0 && index < kCustomizedTextCount ? table[index] : *empty;
}

constexpr const char* kShowFieldCaptions[kShowFieldCount] = {
    "Application|Start Date", "Application|Name", "Application|Version Number", "Application|Parameters",
    "Application|Compilation Date", "Application|Up Time", "Exception|Date", "Exception|Address",
    "Exception|Module Name", "Exception|Module Version", "Exception|Type", "Exception|Message", "Exception|ID",
    "Exception|Count", "Exception|Status", "Exception|Note", "User|ID", "User|Name", "User|Email",
    "User|Privileges", "User|Company", "Active Controls|Form Class", "Active Controls|Form Text",
    "Active Controls|Control Class", "Active Controls|Control Text", "Computer|Name", "Computer|Total Memory",
    "Computer|Free Memory", "Computer|Total Disk", "Computer|Free Disk", "Computer|System Up Time",
    "Computer|Processor", "Computer|Display Mode", "Computer|Display DPI", "Computer|Video Card",
    "Computer|Printer", "Operating System|Type", "Operating System|Build #", "Operating System|Update",
    "Operating System|Language", "Operating System|Charset", "Network|IP Address", "Network|Submask",
    "Network|Gateway", "Network|DNS 1", "Network|DNS 2", "Network|DHCP", "Custom Data|All",
};

constexpr const char* kTextVariablesHelp[] = {
    "_BugReport | Full TarvexLog bug report",
    "_ExceptModuleDesc | Description of the module that has raised the last exception",
    "_ExceptModuleName | Name of the module that has raised the last exception",
    "_ExceptModuleVer | Version of the module that has raised the last exception",
    "_ExceptMsg | Last exception message",
    "_LineBreak | Line break",
    "_MainModuleDesc | Description of the current running module",
    "_MainModuleName | Name of the current running module",
    "_MainModuleVer | Version of the current running module",
    "AllUsersProfile | \\Documents and Settings\\All Users",
    "AppData | \\Documents and Settings\\{username}\\Application Data",
    "CD | Current directory with its full path",
    "ComputerName | {computername}",
    "Date | Current date in the format determined by OS",
    "HomeDrive | The drive containing the Home directory",
    "HomePath | \\Documents and Settings\\{username}",
    "ProgramFiles | Directory containing program files",
    "SystemDrive | The drive containing the Windows root directory",
    "SystemRoot | The Windows root directory",
    "Temp | Temporary directory",
    "Time | Current time in the format determined by OS",
    "Tmp | Temporary directory",
    "UserDomain | Current user domain name",
    "UserName | {username}",
    "UserProfile | \\Documents and Settings\\{username}",
    "WinDir | Windows directory",
};

}  // namespace

std::span<const TCustomizedTextGroup> CustomizedTextGroups() { return kGroups; }
const std::string& DefaultCustomizedText(int index) { return Lookup(Tables().defaults, index); }
const std::string& CustomizedTextCaption(int index) { return Lookup(Tables().captions, index); }
const std::string& CustomizedTextGroup(int index) { return Lookup(Tables().groups, index); }
std::span<const char* const> ShowFieldCaptions() { return kShowFieldCaptions; }
std::span<const char* const> TextVariablesHelp() { return kTextVariablesHelp; }

const std::string& DefaultHtmlLayout() {
  static const TNoDestroy<std::string> layout(
      "<html>\r\n  <head>\r\n  </head>\r\n  <body TopMargin=10 LeftMargin=10>\r\n"
      "    <table width=\"100%\" border=\"0\">\r\n      <tr>\r\n        <td nowrap>\r\n"
      "          <font face=\"Lucida Console, Courier\" size=\"2\">\r\n            <%HTML_TAG%>\r\n"
      "          </font>\r\n        </td>\r\n      </tr>\r\n    </table>\r\n  </body>\r\n</html>");
  return *layout;
}
