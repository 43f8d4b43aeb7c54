#include "ipc/IpcBinding.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>

#include "ipc/Dispatcher.h"
#include "ipc/LibraryHandle.h"
#include "platform/SystemThreads.h"

namespace qel {
namespace {

static_assert(std::is_same_v<decltype(&OnIpcMessage), IpcMessageCallback>,
              "the message callback slot holds the dispatcher entry");

constexpr const char* kIpcLibraryFileName = "VOVURU32.DLL";

// The table of one binding attempt. Filled while unpublished; once published it
// is only read, and it lives as long as the module.
struct IpcBindingTable {
  std::unique_ptr<LibraryHandle> library;
  Platform* platform = nullptr;
  IpcMessageCallback messageCallback = nullptr;
  IpcEntryPoints entries;
};

// All three are ready before any code of the module runs: the two atomics
// are constant-initialised, and the lock allocates nothing.
std::atomic<const IpcBindingTable*> PublishedBinding{nullptr};
std::atomic<int32_t> UseInputDesktop{0};
// The binding itself takes no lock; this one keeps two first starts on
// different threads from loading and initialising the library twice. The
// dispatcher never takes it: it reads PublishedBinding.
SystemLock IpcBindingMutex;

int32_t BindLocked(Platform& platform) {
  if (const IpcBindingTable* bound = PublishedBinding.load(std::memory_order_acquire)) {
    return bound->library->Module() != nullptr ? 1 : 0;
  }

  auto table = std::make_unique<IpcBindingTable>();
  table->library = std::make_unique<LibraryHandle>(platform, kIpcLibraryFileName);
  bool complete = table->library->Module() != nullptr;
  if (complete) {
    // Every name is looked up before any is checked.
    const LibraryHandle& library = *table->library;
    ForEachIpcEntryPoint(table->entries, [&](const char* name, bool, auto& slot) {
      slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(library.Resolve(name));
    });
    ForEachIpcEntryPoint(table->entries, [&](const char*, bool required, const auto& slot) {
      if (required && slot == nullptr) complete = false;
    });
  }
  if (!complete) {
    table->library->Release();
    return 0;
  }

  table->platform = &platform;
  table->messageCallback = &OnIpcMessage;
  if (table->entries.qelUseInputDesktop != nullptr) {
    CallEitherConvention(table->entries.qelUseInputDesktop, UseInputDesktop.load());
  }
  table->entries.initApplication();
  PublishedBinding.store(table.release(), std::memory_order_release);
  return 1;
}

// No memory for the table: this attempt fails before anything is loaded, and
// the caller carries on as after any failed attempt.
int32_t BindOrFail(Platform& platform) {
  try {
    return BindLocked(platform);
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

}  // namespace

int32_t StartIpcBinding(Platform& platform, int32_t useInputDesktop) {
  std::lock_guard<SystemLock> lock(IpcBindingMutex);
  UseInputDesktop.store(useInputDesktop);
  return BindOrFail(platform);
}

int32_t BindIpcLibrary(Platform& platform) {
  std::lock_guard<SystemLock> lock(IpcBindingMutex);
  return BindOrFail(platform);
}

IpcBindingSnapshot CurrentIpcBinding() {
  IpcBindingSnapshot snapshot;
  snapshot.useInputDesktop = UseInputDesktop.load();
  if (const IpcBindingTable* bound = PublishedBinding.load(std::memory_order_acquire)) {
    snapshot.bound = true;
    snapshot.platform = bound->platform;
    snapshot.messageCallback = bound->messageCallback;
    snapshot.entries = bound->entries;
  }
  return snapshot;
}

void ForgetIpcBindingOf(const Platform& platform) {
  std::lock_guard<SystemLock> lock(IpcBindingMutex);
  const IpcBindingTable* bound = PublishedBinding.load(std::memory_order_acquire);
  if (bound != nullptr && bound->platform == &platform) delete PublishedBinding.exchange(nullptr);
}

void ResetIpcBindingForTesting() {
  std::lock_guard<SystemLock> lock(IpcBindingMutex);
  delete PublishedBinding.exchange(nullptr);
  UseInputDesktop.store(0);
}

}  // namespace qel
