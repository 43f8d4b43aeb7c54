#include "tools/SendEvent.h"

#include <fstream>
#include <iterator>
#include <ostream>
#include <string_view>
#include <vector>

#include "bridge/CallerLayout.h"
#include "bridge/HostString.h"
#include "bridge/HostStringObject.h"
#include "config/InstallPaths.h"
#include "config/TextConversions.h"
#include "platform/Platform.h"
#include "platform/ScopedHandles.h"
#include "platform/hosted/PeResources.h"
#include "tools/PropertiesCheck.h"
#include "tools/Resend.h"

namespace qel::tool {
namespace {

namespace fs = std::filesystem;

// The plug-in's exports, as the host calls them.
using InitMapFn = bool (*)();
using ProcessEventFn = int32_t(QEL_STDCALL*)(int32_t eventCode, const void* className,
                                             const void* eventText, const void* categoryAttribute,
                                             const void* target);

// The maker's libraries that the plug-in imports are looked for beside it
// first, then where the system looks for any library.
constexpr uint32_t kLoadWithAlteredSearchPath = 0x8;
constexpr uint32_t kQuietErrorMode = kSemFailCriticalErrors | kSemNoOpenFileErrorBox;

std::string Meaning(int32_t result) {
  switch (result) {
    case 0:
      return "posted: the event was handed to the event library (vnxsdevt.dll), which does not "
             "say what the event server made of it";
    case 2:
      return "not posted: the class name is empty";
    case 14:
      return "not posted: the thread could not be attached to the interactive desktop, or the "
             "plug-in could not read a string (a DLL built for another host's strings?)";
    default:
      return "not a result the plug-in gives";
  }
}

// check's reading of the installed properties file, which the plug-in reads
// whichever DLL is loaded, with the string table of |plugin|; its findings
// for the whole file go to |err| and its count to |out|. Nothing when there is
// no such file.
std::optional<CheckReport> ReadInstalledProperties(Platform& server, const PeResources& plugin,
                                                   std::ostream& out, std::ostream& err) {
  std::string error;
  const std::optional<fs::path> ci = DefaultCiFolder(&server, error);
  std::ifstream file;
  if (ci && OpenPropertiesFile(*ci / "qelevent.properties", file, error)) {
    const std::string name = (*ci / "qelevent.properties").u8string();
    const CheckReport report = CheckProperties(file, [&plugin](uint32_t id) {
      const std::optional<std::u16string> text = plugin.String(id);
      return text ? std::optional<std::string>(WideToUtf8(*text)) : std::nullopt;
    });
    PrintFileFindings(report, name, err);
    out << "properties file: " << name << " (" << report.Mappings() << " mappings, "
        << report.warnings.size() << " warnings: qelevent-tool check lists them)\n";
    return report;
  }
  err << "qelevent-tool send: warning: " << error << ": the plug-in maps nothing\n";
  return std::nullopt;
}

// The category the event of |className| goes out under, as |properties| maps it.
std::string CategoryText(const std::optional<CheckReport>& properties,
                         const std::string& className) {
  if (properties) {
    for (const MarkedEntry& entry : properties->marked) {
      if (entry.mapped && entry.className == className) {
        return "category: \"" + *entry.category + "\"";
      }
    }
  }
  return "posted under its class name: no category";
}

}  // namespace

HostStringLayout LayoutForCaller(Platform& registry, const fs::path& self, std::string* why) {
  std::ifstream file(self, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  FileImageReader image(bytes);
  std::vector<std::string> imports;
  const bool read = ReadImportedNames(image, &imports);
  const LayoutChoice choice = ChooseLayout(read ? LayoutOfImports(imports) : ImportVerdict{}, !read,
                                           ReadProductKeyText(registry, kHostStringLayoutValue));
  *why = LayoutChoiceText(self.filename().u8string(), choice);
  // The tool imports no debug library; were it refused, the plug-in would
  // answer 14 whatever it is passed.
  return choice.source == LayoutChoice::Source::kRefused ? kBuiltInHostStringLayout : choice.layout;
}

int RunSend(Platform& server, const SendSettings& settings, std::ostream& out, std::ostream& err) {
  auto fail = [&err](const std::string& why) {
    err << "qelevent-tool send: " << why << "\n";
    return kCouldNotRun;
  };
  std::string error;
  fs::path dll;
  if (settings.dll) {
    dll = *settings.dll;
  } else if (const std::optional<fs::path> ci = DefaultCiFolder(&server, error)) {
    dll = *ci / "qelevent.dll";
  } else {
    return fail(error + ": name the plug-in with --dll");
  }
  const std::shared_ptr<const PeResources> resources = ReadModule(dll, error);
  if (!resources) return fail(error);
  // The plug-in decides by the module that calls it: this tool.
  char self[1024] = {};
  const uint32_t selfLength = server.GetModuleFileNameA(nullptr, self, sizeof self);
  const std::string selfPath(self, selfLength < sizeof self ? selfLength : 0);
  std::string why;
  const HostStringLayout layout =
      LayoutForCaller(server, fs::path(AnsiToWide(server, selfPath)), &why);

  // The system loads modules by ANSI name here, as the host does, and finds
  // a module's imports beside it only when its path is absolute.
  std::error_code ignored;
  if (fs::path absolute = fs::absolute(dll, ignored); !absolute.empty()) dll = absolute;
  const std::u16string wide = dll.u16string();
  const std::string ansi = WideToAnsi(server, wide);
  if (AnsiToWide(server, ansi) != wide) {
    return fail(dll.u8string() +
                " has a name that the ANSI code page cannot spell: copy it to a "
                "folder whose name it can");
  }
  UniqueModule module = MakeUniqueModule(server, nullptr);
  {
    ScopedErrorMode quiet(server, kQuietErrorMode);
    module.reset(server.LoadLibraryExA(ansi.c_str(), kLoadWithAlteredSearchPath));
  }
  if (!module) {
    return fail(dll.u8string() +
                " could not be loaded: it, or vnxsdevt.dll or VOVURU32.DLL that it imports, is "
                "missing (they are looked for beside it, in the current folder and on PATH)");
  }
  auto initMap = reinterpret_cast<InitMapFn>(server.GetProcAddress(module.get(), "InitMap"));
  auto processEvent =
      reinterpret_cast<ProcessEventFn>(server.GetProcAddress(module.get(), "ProcessEvent"));
  if (initMap == nullptr || processEvent == nullptr) {
    return fail(dll.u8string() +
                " does not export InitMap and ProcessEvent: it is not the plug-in");
  }

  out << "plug-in: " << dll.u8string() << "\n";
  out << "host strings: " << HostStringLayoutName(layout) << ", as the plug-in reads them from "
      << "this tool: " << why << "\n";
  const std::optional<CheckReport> properties =
      ReadInstalledProperties(server, *resources, out, err);
  out << "InitMap returned " << (initMap() ? "true" : "false") << "\n";
  const HostStringObject className(layout, Utf8ToWide(settings.className));
  const HostStringObject eventText(layout, Utf8ToWide(settings.eventText));
  const HostStringObject categoryAttribute(layout, Utf8ToWide(settings.categoryAttribute));
  const HostStringObject target(layout, Utf8ToWide(settings.target));
  out << "ProcessEvent(" << settings.eventCode << ", " << settings.className
      << "): a busy event server is asked once more after two minutes" << std::endl;
  const KeptEventsMark kept = MarkKeptEvents(server);
  const int32_t result = processEvent(settings.eventCode, className.Address(), eventText.Address(),
                                      categoryAttribute.Address(), target.Address());
  out << "ProcessEvent returned " << result << ": " << Meaning(result) << "\n";
  if (result == 0) out << CategoryText(properties, settings.className) << "\n";
  // The host hears 0 either way; the kept-events file tells the two apart.
  const bool wasKept = result == 0 && TellIfKept(server, kept, settings.className, out);
  if (!properties || properties->MapsNothing()) return kMapsNothing;
  return result == 0 && !wasKept ? kAllWell : kFindings;
}

}  // namespace qel::tool
