#include "tools/ToolCommands.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>

#include "tools/Installation.h"
#include "tools/LayoutCommand.h"
#include "tools/Notification.h"
#include "tools/PropertiesCheck.h"
#include "tools/PropertiesDiff.h"
#include "tools/Replay.h"
#include "tools/Resend.h"
#include "tools/SendEvent.h"

namespace qel::tool {
namespace {

namespace fs = std::filesystem;

// One command's part of the usage text.
struct CommandHelp {
  const char* name;
  bool linuxOnly;
  const char* synopsis;  // the usage line(s) after "qelevent-tool "
  const char* text;      // what it does and its options
};

const CommandHelp kCommands[] = {
    {"replay", true, "replay [options] [NOTIFICATIONS.jsonl]",
     R"(        (Linux only: on the server, send tests the installed plug-in)
        runs notifications through the plug-in (start-up, InitMap, ProcessEvent)
        on a hosted server installation and prints each posted event as a JSON
        line; a summary follows on standard error, after check's findings for
        the whole properties file the plug-in reads. Notifications are JSON
        lines {"eventCode": 3, "className": "CIM_Fan", "eventText": "...",
        "categoryAttribute": "...", "target": "..."}, read from standard input
        when no file (or -) is given; other fields (an exported log's
        timestamps) are left out and the lines counted. Waits are simulated,
        not slept. On a terminal, standard error also shows the progress of a
        long replay. An event is lost when the server's answer to its last post
        is not 0; lost events and rejected lines are findings (exit status 1).
        The plug-in keeps a lost event in its undelivered-events file (here a
        temporary copy of the installation's; the installation is not written)
        and reports to the event log at most once a minute of simulated time:
        standard error names each event kept or not kept, and each entry of the
        event log (its kind and insertion strings; Event Viewer shows them in
        the sentences of the plug-in's message table).
  --install DIR      the installation: a folder with regedit exports (*.reg:
                     REGEDIT4, or "Windows Registry Editor Version 5.00" in
                     UTF-16; keys under SOFTWARE\WOW6432Node are the 32-bit
                     view that the plug-in reads) and drive folders (C/...);
                     by default the sample installation
  --properties FILE  read FILE in place of the installation's ci\qelevent.properties
  --host PATH        Windows path of the host executable, beside which language
                     folders are looked for (default <installation folder>\bin\host.exe)
  --lcid LCID        the user's default locale, e.g. 0x0407 (default 0x0409)
  --results LIST     what the event server answers, post after post, e.g. 18,0
                     (0 once the list is used up; 5, 6 and 18 make the plug-in retry)
  --no-init          do not call InitMap first (--init, the default, does)
  --strict           refuse notification lines with fields beyond the five
  --summary-json FILE
                     also write the summary (events per category, those lost,
                     unmapped class names with their counts, posts, retries,
                     waits, events kept and not kept, event log entries and
                     those left out, by kind) to FILE as one JSON document
)"},
    {"check", false, "check [--module QELEVENT.DLL] [QELEVENT.PROPERTIES]",
     R"(        lists what a properties file maps (line, id, class name, category) and
        warns about lines that silently go wrong (findings). By default it
        checks the installed ci\qelevent.properties on the server, and the
        sample installation's file on Linux.
  --module FILE      the qelevent.dll whose string table names the categories
                     (default: the one beside the file, else the installed or
                     sample one)
)"},
    {"diff", false, "diff [--module QELEVENT.DLL] [--lcid LCID] [--json] OLD NEW",
     R"(        maps two properties files as InitMap does and lists the classes added,
        removed and moved to another category (findings), each with its line
        and string id in both files, then names the inserted or removed marked
        lines that shift the categories of the classes below them.
  --module FILE      as for check (default: the one beside NEW, else beside
                     OLD, else the installed or sample one)
  --lcid LCID        the user's default locale; the category names do not
                     follow it, as the plug-in's do not: they come from the
                     module's string table whatever the locale
  --json             write one JSON document on standard output instead:
                     {"added": [...], "removed": [...], "changed": [...],
                      "shifts": [...]}
)"},
    {"send", false,
     "send [--dll QELEVENT.DLL] [--event-code N] [--event-text TEXT]\n"
     "                          [--category-attribute TEXT] [--target TEXT] CLASSNAME",
     R"(        (on the server) fires one test event through the plug-in, as the host
        service does: loads it, calls InitMap, then ProcessEvent with CLASSNAME
        and the texts below, passed as the wide string objects that the
        plug-in will read from this tool (which imports no C++ library: the
        layout the registry value HostStringLayout names, else msvc6; it says
        which), and prints what each returned and the category the event went
        out under. First it
        prints check's findings for the whole installed properties file, which
        InitMap and ProcessEvent read whichever DLL is loaded. A busy event
        server (results 5, 6, 18) makes the plug-in wait two minutes and try
        once more. A result other than 0 (2 no class name, 14 not attached to
        the desktop or a string not read) is a finding.
  --dll FILE         the plug-in (default: the registered installation's
                     ci\qelevent.dll)
  --event-code N     the event code, decimal or 0x hexadecimal (default 0)
  --event-text TEXT  the event's text (default "Test event from qelevent-tool send")
  --category-attribute TEXT
                     the CATEGORY attribute (default empty)
  --target TEXT      the TARGET attribute (default empty)
)"},
    {"layout", false, "layout [--install FOLDER] MODULE",
     R"(        says how the plug-in will read the strings that MODULE (the host
        service's executable, or the DLL that calls the plug-in) passes: the
        C++ library or C runtime its import directory names (msvcp60.dll:
        msvc6; msvcp70 to msvcp90: msvc7; msvcp100 and later: msvc10;
        libstdc++-6.dll: mingw), a debug library whose strings are refused,
        or none, where the registry value HostStringLayout under the product
        key decides (else the built-in msvc6). A valid value overrides the
        imports. On the server the value is read from the registry. Refused
        strings, an invalid value, or nothing that names the layout are
        findings.
  --install FOLDER   read the value from the registry exports (*.reg) in
                     FOLDER, a copy of a server's installation as replay reads
                     it, rather than from this machine's registry
)"},
    {"resend", false, "resend [--list [--json]] [--file KEPT.TXT] [--dll QELEVENT.DLL]",
     R"(        (on the server) delivers the events the event server did not take, kept
        in ci\qelevent-undelivered.txt, oldest first, through the installed
        plug-in's own posting, without its waits: each delivered event leaves
        the file; at the first the server does not take, it and every event
        after it stay, for the next run. Exit status 1 when some stay kept.
  --list             only show what is kept (also on Linux, of a file taken
                     from a server and named with --file); status 1 when
                     anything is
  --json             with --list: one JSON document {"file": ..., "events":
                     [{"line": N, "record": {...}}, ...], "skippedLines": [...]}
  --file FILE        the kept-events file (default: the registered
                     installation's ci\qelevent-undelivered.txt)
  --dll FILE         the plug-in that posts (default: the registered
                     installation's ci\qelevent.dll)
)"},
};

constexpr char kExitStatuses[] = R"(
Exit status, the same for every command:
  0  all well
  1  findings: warnings (check), classes added, removed or moved (diff),
     events lost or lines rejected (replay), a result other than 0 (send),
     events kept (resend)
  2  could not run: a usage error, or a file, module or installation that
     cannot be used (one line says why)
  3  the properties file maps nothing as the plug-in reads it: saved as
     UTF-16, empty, no marked line that maps a class, or the installed file
     missing (check, diff for the new file, replay, send)
)";

// The usage of |only| (every command when null); on the server, the Linux-only
// commands are only named, once, at the end.
void PrintUsage(std::ostream& out, const CommandHelp* only, bool onServer) {
  const char* lead = "usage: qelevent-tool ";
  std::string linuxOnly;
  for (const CommandHelp& command : kCommands) {
    if (only != nullptr ? &command != only : command.linuxOnly && onServer) continue;
    out << lead << command.synopsis << "\n";
    lead = "       qelevent-tool ";
  }
  for (const CommandHelp& command : kCommands) {
    if (only != nullptr ? &command != only : command.linuxOnly && onServer) {
      if (only == nullptr) linuxOnly += std::string(linuxOnly.empty() ? "" : ", ") + command.name;
      continue;
    }
    out << "\n" << command.name << "\n" << command.text;
  }
  if (!linuxOnly.empty()) out << "\n" << linuxOnly << ": run on Linux only, not on the server\n";
  out << kExitStatuses;
}

const CommandHelp* CommandNamed(const std::string& name) {
  for (const CommandHelp& command : kCommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

int UsageError(std::ostream& err, const std::string& why) {
  err << "qelevent-tool: " << why << " (see qelevent-tool --help)\n";
  return 2;
}

// Walks the arguments, taking "--name value" and "--name=value" alike.
class Arguments {
 public:
  explicit Arguments(const std::vector<std::string>& arguments) : arguments_(arguments) {}
  bool Done() const { return next_ >= arguments_.size(); }
  const std::string& Next() {
    current_ = arguments_[next_++];
    inlineValue_.reset();
    const size_t equals = current_.find('=');
    if (current_.rfind("--", 0) == 0 && equals != std::string::npos) {
      inlineValue_ = current_.substr(equals + 1);
      current_.erase(equals);
    }
    return current_;
  }
  bool HasInlineValue() const { return inlineValue_.has_value(); }
  // The option's value; false when there is none.
  bool Value(std::string& value) {
    if (inlineValue_) {
      value = *inlineValue_;
      return true;
    }
    if (Done()) return false;
    value = arguments_[next_++];
    return true;
  }

 private:
  const std::vector<std::string>& arguments_;
  size_t next_ = 0;
  std::string current_;
  std::optional<std::string> inlineValue_;
};

int Replay(Arguments& arguments, std::istream& in, std::ostream& out, std::ostream& err,
           bool errIsTerminal) {
  ReplaySettings settings;
  settings.installation.folder = SampleInstallation();
  settings.progress = errIsTerminal;
  std::optional<std::string> input;
  while (!arguments.Done()) {
    const std::string option = arguments.Next();
    std::string value;
    std::string error;
    const bool takesValue = option == "--install" || option == "--properties" ||
                            option == "--host" || option == "--lcid" || option == "--results" ||
                            option == "--summary-json";
    if (takesValue && !arguments.Value(value)) {
      return UsageError(err, "replay: " + option + " needs a value");
    }
    if (!takesValue && arguments.HasInlineValue()) {
      return UsageError(err, "replay: " + option + " takes no value");
    }
    if (option == "--install") {
      settings.installation.folder = value;
    } else if (option == "--properties") {
      settings.installation.properties = value;
    } else if (option == "--host") {
      settings.installation.hostExecutable = value;
    } else if (option == "--lcid") {
      if (!ParseLcid(value, settings.lcid, error)) return UsageError(err, "--lcid: " + error);
    } else if (option == "--results") {
      if (!ParseResults(value, settings.results, error)) {
        return UsageError(err, "--results: " + error);
      }
    } else if (option == "--summary-json") {
      settings.summaryJson = value;
    } else if (option == "--init") {
      settings.initMap = true;
    } else if (option == "--no-init") {
      settings.initMap = false;
    } else if (option == "--strict") {
      settings.strict = true;
    } else if (option.size() > 1 && option[0] == '-') {
      return UsageError(err, "replay: unknown option " + option);
    } else if (input) {
      return UsageError(err, "replay: one notifications file at most, not also " + option);
    } else {
      input = option;
    }
  }
  if (!input || *input == "-") return RunReplay(settings, in, "<stdin>", out, err);
  std::ifstream file(*input, std::ios::binary);
  if (!file) {
    err << "qelevent-tool replay: notifications file " << *input
        << " does not exist or cannot be read\n";
    return 2;
  }
  return RunReplay(settings, file, *input, out, err);
}

int Check(Arguments& arguments, Platform* server, std::ostream& out, std::ostream& err) {
  CheckSettings settings;
  while (!arguments.Done()) {
    const std::string option = arguments.Next();
    std::string value;
    if (option == "--module") {
      if (!arguments.Value(value)) return UsageError(err, "check: --module needs a value");
      settings.module = fs::u8path(value);
    } else if (option.size() > 1 && option[0] == '-') {
      return UsageError(err, "check: unknown option " + option);
    } else if (settings.properties) {
      return UsageError(err, "check: one properties file at a time, not also " + option);
    } else {
      settings.properties = fs::u8path(option);
    }
  }
  settings.server = server;
  return RunCheck(settings, out, err);
}

int Diff(Arguments& arguments, Platform* server, std::ostream& out, std::ostream& err) {
  DiffSettings settings;
  settings.server = server;
  std::vector<std::string> files;
  while (!arguments.Done()) {
    const std::string option = arguments.Next();
    std::string value;
    std::string error;
    if (option == "--module" || option == "--lcid") {
      if (!arguments.Value(value)) return UsageError(err, "diff: " + option + " needs a value");
      uint32_t lcid = 0;
      if (option == "--module") {
        settings.module = fs::u8path(value);
      } else if (!ParseLcid(value, lcid, error)) {
        return UsageError(err, "--lcid: " + error);
      }
    } else if (option == "--json") {
      if (arguments.HasInlineValue()) return UsageError(err, "diff: --json takes no value");
      settings.json = true;
    } else if (option.size() > 1 && option[0] == '-') {
      return UsageError(err, "diff: unknown option " + option);
    } else {
      files.push_back(option);
    }
  }
  if (files.size() != 2) return UsageError(err, "diff: name two properties files, OLD and NEW");
  settings.before = fs::u8path(files[0]);
  settings.after = fs::u8path(files[1]);
  return RunDiff(settings, out, err);
}

int Send(Arguments& arguments, Platform* server, std::ostream& out, std::ostream& err) {
  if (server == nullptr) {
    err << "qelevent-tool send: runs on the Windows server, where it loads the installed "
           "plug-in; here, replay runs notifications through the plug-in's logic\n";
    return 2;
  }
  SendSettings settings;
  std::optional<std::string> className;
  while (!arguments.Done()) {
    const std::string option = arguments.Next();
    std::string value;
    const bool takesValue = option == "--dll" || option == "--event-code" ||
                            option == "--event-text" || option == "--category-attribute" ||
                            option == "--target";
    if (takesValue && !arguments.Value(value)) {
      return UsageError(err, "send: " + option + " needs a value");
    }
    if (option == "--dll") {
      settings.dll = fs::u8path(value);
    } else if (option == "--event-code") {
      // Decimal, or hexadecimal after 0x; a leading 0 is no octal here.
      const int base = value.find_first_of("xX") == std::string::npos ? 10 : 16;
      char* end = nullptr;
      errno = 0;
      const long code = std::strtol(value.c_str(), &end, base);
      if (value.empty() || *end != '\0' || errno != 0 || code < INT32_MIN || code > INT32_MAX) {
        return UsageError(err, "send: --event-code takes a 32-bit integer, not " + value);
      }
      settings.eventCode = static_cast<int32_t>(code);
    } else if (option == "--event-text") {
      settings.eventText = value;
    } else if (option == "--category-attribute") {
      settings.categoryAttribute = value;
    } else if (option == "--target") {
      settings.target = value;
    } else if (option.size() > 1 && option[0] == '-') {
      return UsageError(err, "send: unknown option " + option);
    } else if (className) {
      return UsageError(err, "send: one class name, not also " + option);
    } else {
      className = option;
    }
  }
  if (!className) return UsageError(err, "send: name the event's CIM class, e.g. CIM_Fan");
  settings.className = *className;
  return RunSend(*server, settings, out, err);
}

int Layout(Arguments& arguments, Platform* server, std::ostream& out, std::ostream& err) {
  LayoutSettings settings;
  settings.registry = server;
  std::optional<fs::path> install;
  std::optional<fs::path> module;
  while (!arguments.Done()) {
    const std::string option = arguments.Next();
    std::string value;
    if (option == "--install") {
      if (!arguments.Value(value)) return UsageError(err, "layout: --install needs a value");
      install = fs::u8path(value);
    } else if (option.size() > 1 && option[0] == '-') {
      return UsageError(err, "layout: unknown option " + option);
    } else if (module) {
      return UsageError(err, "layout: one module at a time, not also " + option);
    } else {
      module = fs::u8path(option);
    }
  }
  if (!module) return UsageError(err, "layout: name the host's executable or a DLL");
  settings.module = *module;
  InstallationPlatform installation;
  if (install) {
    std::string error;
    if (!installation.LoadRegistry(*install, error)) {
      err << "qelevent-tool layout: " << error << "\n";
      return kCouldNotRun;
    }
    settings.registry = &installation;
  }
  return RunLayout(settings, out, err);
}

int Resend(Arguments& arguments, Platform* server, std::ostream& out, std::ostream& err) {
  ResendSettings settings;
  while (!arguments.Done()) {
    const std::string option = arguments.Next();
    std::string value;
    if (option == "--file" || option == "--dll") {
      if (!arguments.Value(value)) return UsageError(err, "resend: " + option + " needs a value");
      (option == "--file" ? settings.file : settings.dll) = fs::u8path(value);
    } else if (option == "--list" || option == "--json") {
      if (arguments.HasInlineValue()) {
        return UsageError(err, "resend: " + option + " takes no value");
      }
      (option == "--list" ? settings.list : settings.json) = true;
    } else {
      return UsageError(err, "resend: unknown argument " + option);
    }
  }
  if (settings.json && !settings.list) return UsageError(err, "resend: --json goes with --list");
  return RunResend(server, settings, out, err);
}

}  // namespace

int RunTool(const std::vector<std::string>& arguments, std::istream& in, std::ostream& out,
            std::ostream& err, bool errIsTerminal, Platform* server) {
  if (arguments.empty())
    return UsageError(err, "name a command: replay, check, diff, send, resend or layout");
  const std::string& command = arguments[0];
  const bool onServer = server != nullptr;
  if (command == "--help" || command == "-h" || command == "help") {
    PrintUsage(out, arguments.size() > 1 ? CommandNamed(arguments[1]) : nullptr, onServer);
    return 0;
  }
  const std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
  for (const std::string& argument : rest) {
    if (argument == "--help" || argument == "-h") {
      PrintUsage(out, CommandNamed(command), onServer);
      return 0;
    }
  }
  Arguments walker(rest);
  if (command == "replay") {
    if (server != nullptr) {
      err << "qelevent-tool replay: runs on Linux, on a copy of a server's installation; on "
             "the server, send fires a test event through the installed plug-in\n";
      return 2;
    }
    return Replay(walker, in, out, err, errIsTerminal);
  }
  if (command == "check") return Check(walker, server, out, err);
  if (command == "diff") return Diff(walker, server, out, err);
  if (command == "send") return Send(walker, server, out, err);
  if (command == "layout") return Layout(walker, server, out, err);
  if (command == "resend") return Resend(walker, server, out, err);
  return UsageError(err,
                    "unknown command " + command + ": replay, check, diff, send, resend or layout");
}

}  // namespace qel::tool
