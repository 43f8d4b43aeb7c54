#include "tools/Resend.h"

#include <fstream>
#include <iterator>
#include <ostream>
#include <sstream>

#include "bridge/EventLogReports.h"
#include "bridge/KeptEvent.h"
#include "bridge/KeptEventsFile.h"
#include "bridge/KeptEventsResend.h"
#include "config/TextConversions.h"
#include "platform/Platform.h"
#include "platform/ScopedHandles.h"
#include "tools/PropertiesCheck.h"
#include "tools/Replay.h"

namespace qel::tool {
namespace {

namespace fs = std::filesystem;

// The plug-in's third export (resources/qelevent.def).
using ResendKeptEventFn = int(QEL_STDCALL*)(const char* record, unsigned int length, int* answer);

constexpr uint32_t kLoadWithAlteredSearchPath = 0x8;
constexpr uint32_t kQuietErrorMode = kSemFailCriticalErrors | kSemNoOpenFileErrorBox;

std::string Category(const KeptEvent& event) {
  return event.typePath.size() > 1 ? WideToUtf8(event.typePath[1]) : std::string();
}

std::string Target(const KeptEvent& event) {
  for (const KeptEvent::Attribute& attribute : event.attributes) {
    if (attribute.name == u"TARGET") return WideToUtf8(attribute.value);
  }
  return std::string();
}

// One line a person reads: when, what, where to, and what the server said.
std::string Describe(const KeptEvent& event) {
  return event.local + " " + WideToUtf8(event.className) + " (category \"" + Category(event) +
         "\", event code " + DecimalText(event.eventCode) + ", target \"" + Target(event) +
         "\", answers " + WideToUtf8(AnswersText(event.answers)) + "): " + WideToUtf8(event.text);
}

// The file's bytes: under its lock through |server| on the server, plainly
// elsewhere. False with |error|.
bool ReadFileBytes(Platform* server, const fs::path& file, std::string& bytes, std::string& error) {
  if (server != nullptr) {
    if (ReadKeptEventsFile(*server, file.u16string(), 0, bytes, error)) return true;
    error = file.u8string() + ": " + error;
    return false;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    error = file.u8string() + " cannot be read";
    return false;
  }
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

int List(Platform* server, const fs::path& file, bool json, std::ostream& out, std::ostream& err) {
  std::string bytes;
  std::string error;
  std::error_code ignored;
  if (fs::exists(file, ignored) && !ReadFileBytes(server, file, bytes, error)) {
    err << "qelevent-tool resend: " << error << "\n";
    return kCouldNotRun;
  }
  const KeptRecords kept = ReadKeptRecords(bytes);
  if (json) {
    out << "{\"file\": " << JsonString(file.u8string()) << ", \"events\": [";
    for (size_t i = 0; i < kept.events.size(); ++i) {
      std::string record = FormatKeptRecord(kept.events[i]);
      record.resize(record.size() - 2);  // its CR LF
      out << (i == 0 ? "\n  " : ",\n  ") << "{\"line\": " << kept.eventLines[i]
          << ", \"record\": " << record << "}";
    }
    out << (kept.events.empty() ? "" : "\n") << "], \"skippedLines\": [";
    for (size_t i = 0; i < kept.skippedLines.size(); ++i) {
      out << (i == 0 ? "" : ", ") << kept.skippedLines[i];
    }
    out << "]}\n";
  } else {
    for (size_t i = 0; i < kept.events.size(); ++i) {
      out << "line " << kept.eventLines[i] << ": " << Describe(kept.events[i]) << "\n";
    }
    for (const size_t line : kept.skippedLines) {
      out << "line " << line
          << ": no whole record (cut short when the power failed?): never sent; delete the "
             "line once read\n";
    }
    out << file.u8string() << ": " << kept.events.size() << " events kept"
        << (kept.events.empty() ? "" : ", oldest first; qelevent-tool resend delivers them")
        << "\n";
  }
  return kept.events.empty() && kept.skippedLines.empty() ? kAllWell : kFindings;
}

// The plug-in's ResendKeptEvent in |module|, loaded from |dll| as the host
// loads it; null with |error|.
ResendKeptEventFn LoadResendExport(Platform& server, fs::path dll, UniqueModule& module,
                                   std::string& error) {
  std::error_code ignored;
  if (fs::path absolute = fs::absolute(dll, ignored); !absolute.empty()) dll = absolute;
  const std::u16string wide = dll.u16string();
  const std::string ansi = WideToAnsi(server, wide);
  if (AnsiToWide(server, ansi) != wide) {
    error = dll.u8string() + " has a name that the ANSI code page cannot spell";
    return nullptr;
  }
  {
    ScopedErrorMode quiet(server, kQuietErrorMode);
    module.reset(server.LoadLibraryExA(ansi.c_str(), kLoadWithAlteredSearchPath));
  }
  if (!module) {
    error = dll.u8string() +
            " could not be loaded: it, or vnxsdevt.dll or VOVURU32.DLL that it imports, is "
            "missing";
    return nullptr;
  }
  auto entry =
      reinterpret_cast<ResendKeptEventFn>(server.GetProcAddress(module.get(), "ResendKeptEvent"));
  if (entry == nullptr) {
    error = dll.u8string() +
            " exports no ResendKeptEvent: a plug-in older than this tool cannot resend; install "
            "the qelevent.dll of this package";
  }
  return entry;
}

int Resend(Platform& server, const fs::path& file, const fs::path& dll, std::ostream& out,
           std::ostream& err) {
  auto fail = [&err](const std::string& why) {
    err << "qelevent-tool resend: " << why << "\n";
    return kCouldNotRun;
  };
  std::error_code ignored;
  if (!fs::exists(file, ignored)) {
    out << file.u8string() << ": nothing kept\n";
    return kAllWell;
  }
  std::string error;
  UniqueModule module = MakeUniqueModule(server, nullptr);
  const ResendKeptEventFn entry = LoadResendExport(server, dll, module, error);
  if (entry == nullptr) return fail(error);

  const ResendReport report = ResendKeptEvents(
      server, file.u16string(),
      [entry](std::string_view line, int32_t& answer) {
        int result = 0;
        if (entry(line.data(), static_cast<unsigned int>(line.size()), &result) != 0) {
          return false;
        }
        answer = result;
        return true;
      },
      [&out](const KeptEvent& event) { out << "delivered: " << Describe(event) << "\n"; });

  std::string rest;
  ReadKeptEventsFile(server, file.u16string(), 0, rest, error);
  const size_t stillKept = ReadKeptRecords(rest).events.size();
  out << report.delivered << " delivered, " << stillKept << " kept in " << file.u8string() << "\n";
  if (report.cutLines > 0) {
    out << report.cutLines
        << " lines are no whole record: never sent, left in the file (resend --list names "
           "them)\n";
  }
  switch (report.stop) {
    case ResendReport::Stop::allDelivered:
      return stillKept == 0 && report.cutLines == 0 ? kAllWell : kFindings;
    case ResendReport::Stop::refused:
      out << "the event server answered " << report.answer << " to " << Describe(*report.refused)
          << "\nit stays kept with every event after it, for the next resend\n";
      return kFindings;
    case ResendReport::Stop::notPosted:
      return fail(report.reason + " (" + Describe(*report.refused) +
                  "): is the interactive desktop reachable from this account?");
    case ResendReport::Stop::failed:
      break;
  }
  return fail(file.u8string() + ": " + report.reason);
}

}  // namespace

int RunResend(Platform* server, const ResendSettings& settings, std::ostream& out,
              std::ostream& err) {
  std::string error;
  std::optional<fs::path> ci;
  if (server != nullptr && (!settings.file || (!settings.list && !settings.dll))) {
    ci = DefaultCiFolder(server, error);
    if (!ci) {
      err << "qelevent-tool resend: " << error << ": name the file with --file\n";
      return kCouldNotRun;
    }
  }
  if (server == nullptr && !settings.list) {
    err << "qelevent-tool resend: delivers through the installed plug-in, on the Windows "
           "server; here, resend --list --file F shows what a server kept\n";
    return kCouldNotRun;
  }
  if (server == nullptr && !settings.file) {
    err << "qelevent-tool resend: name the kept-events file taken from a server with --file\n";
    return kCouldNotRun;
  }
  const fs::path file = settings.file ? *settings.file : *ci / kKeptEventsFileName;
  if (settings.list) return List(server, file, settings.json, out, err);
  return Resend(*server, file, settings.dll ? *settings.dll : *ci / "qelevent.dll", out, err);
}

KeptEventsMark MarkKeptEvents(Platform& server) {
  KeptEventsMark mark;
  std::string error;
  if (const std::optional<fs::path> ci = DefaultCiFolder(&server, error)) {
    mark.file = *ci / kKeptEventsFileName;
    std::error_code failed;
    const uintmax_t size = fs::file_size(*mark.file, failed);
    mark.size = failed ? 0 : static_cast<uint32_t>(size);
  }
  return mark;
}

bool TellIfKept(Platform& server, const KeptEventsMark& mark, const std::string& className,
                std::ostream& out) {
  std::string bytes;
  std::string error;
  if (!mark.file || !ReadKeptEventsFile(server, mark.file->u16string(), mark.size, bytes, error)) {
    return false;
  }
  const KeptRecords added = ReadKeptRecords(bytes);
  for (const KeptEvent& event : added.events) {
    if (WideToUtf8(event.className) != className) continue;
    out << "kept, not delivered: the event server answered "
        << WideToUtf8(AnswersText(event.answers)) << "; the event waits in "
        << mark.file->u8string() << " for qelevent-tool resend\n";
    return true;
  }
  return false;
}

}  // namespace qel::tool
