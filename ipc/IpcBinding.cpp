#include "ipc/IpcBinding.h"

#include <memory>
#include <mutex>
#include <type_traits>

#include "ipc/Dispatcher.h"
#include "ipc/LibraryHandle.h"
#include "platform/SystemThreads.h"

namespace qel {
namespace {

static_assert(std::is_same_v<decltype(&OnIpcMessage), IpcMessageCallback>,
              "the message callback slot holds the dispatcher entry");

constexpr const char* kIpcLibraryFileName = "VOVURU32.DLL";

struct IpcBindingTable {
  std::unique_ptr<LibraryHandle> library;  // null while not bound
  int32_t useInputDesktop = 0;
  IpcMessageCallback messageCallback = nullptr;
  IpcEntryPoints entries;
};

// Constant-initialised: all zero before any code of the module runs.
IpcBindingTable IpcBinding;
// The binding itself takes no lock; this one keeps two first starts on
// different threads from loading and initialising the library twice.
SystemLock IpcBindingMutex;

int32_t BindLocked(Platform& platform) {
  if (IpcBinding.library) return IpcBinding.library->Module() != nullptr ? 1 : 0;

  IpcBinding.library = std::make_unique<LibraryHandle>(platform, kIpcLibraryFileName);
  bool complete = IpcBinding.library->Module() != nullptr;
  if (complete) {
    // Every name is looked up before any is checked.
    const LibraryHandle& library = *IpcBinding.library;
    ForEachIpcEntryPoint(IpcBinding.entries, [&](const char* name, bool, auto& slot) {
      slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(library.Resolve(name));
    });
    ForEachIpcEntryPoint(IpcBinding.entries, [&](const char*, bool required, const auto& slot) {
      if (required && slot == nullptr) complete = false;
    });
  }
  if (!complete) {
    IpcBinding.library->Release();
    IpcBinding.library.reset();
    return 0;
  }

  IpcBinding.messageCallback = &OnIpcMessage;
  if (IpcBinding.entries.qelUseInputDesktop != nullptr) {
    IpcBinding.entries.qelUseInputDesktop(IpcBinding.useInputDesktop);
  }
  IpcBinding.entries.initApplication();
  return 1;
}

}  // namespace

int32_t StartIpcBinding(Platform& platform, int32_t useInputDesktop) {
  std::lock_guard<SystemLock> lock(IpcBindingMutex);
  IpcBinding.useInputDesktop = useInputDesktop;
  return BindLocked(platform);
}

int32_t BindIpcLibrary(Platform& platform) {
  std::lock_guard<SystemLock> lock(IpcBindingMutex);
  return BindLocked(platform);
}

IpcBindingSnapshot CurrentIpcBinding() {
  std::lock_guard<SystemLock> lock(IpcBindingMutex);
  IpcBindingSnapshot snapshot;
  snapshot.bound = IpcBinding.library != nullptr;
  snapshot.useInputDesktop = IpcBinding.useInputDesktop;
  snapshot.messageCallback = IpcBinding.messageCallback;
  snapshot.entries = IpcBinding.entries;
  return snapshot;
}

void ResetIpcBindingForTesting() {
  std::lock_guard<SystemLock> lock(IpcBindingMutex);
  IpcBinding.library.reset();
  IpcBinding.useInputDesktop = 0;
  IpcBinding.messageCallback = nullptr;
  IpcBinding.entries = IpcEntryPoints{};
}

}  // namespace qel
