// The wide string objects that the test host passes to the plug-in, made the
// way a real host's would be: by the exported constructors of the C++ runtime
// DLL of the host's compiler (Wine's builtin msvcp60 to msvcp90 are binary
// compatible with Microsoft's), by our own library's std::wstring, or, for
// libraries that export no string (Visual C++ 2010 and later) and for objects
// no library would make, laid out byte by byte.
#pragma once

#include <windows.h>

#include <array>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "bridge/HostStringObject.h"

namespace qel::test {

class HostStrings {
 public:
  virtual ~HostStrings() = default;
  // An object holding |text|, alive until Clear() or the end of this maker.
  // A text with a NUL inside is made from a pointer and a length, any other
  // from a NUL-terminated pointer.
  virtual const void* Make(std::u16string_view text) = 0;
  // |first|, then |second| appended to it, so that the object outgrows the
  // buffer it was made with.
  virtual const void* MakeAppended(std::u16string_view first, std::u16string_view second) = 0;
  virtual void Clear() = 0;
};

// Strings of a Microsoft C++ runtime DLL ("msvcp60.dll" ... "msvcp90.dll").
// 6.0's string is basic_string<unsigned short> and its constructors take an
// allocator reference as well; 2002 to 2008's is basic_string<wchar_t>.
class LibraryStrings : public HostStrings {
 public:
  ~LibraryStrings() override {
    Clear();
    if (library_ != nullptr) FreeLibrary(library_);
  }

  // False, with |error| set, when the DLL or one of its exports is missing.
  bool Open(const std::string& dll, std::string* error) {
    library_ = LoadLibraryA(dll.c_str());
    if (library_ == nullptr) {
      *error = "cannot load " + dll;
      return false;
    }
    version6_ = dll == "msvcp60.dll";
    const std::string string =
        version6_ ? "?$basic_string@GU?$char_traits@G@std@@V?$allocator@G@2@@std@@"
                  : "?$basic_string@_WU?$char_traits@_W@std@@V?$allocator@_W@2@@std@@";
    const std::string unit = version6_ ? "G" : "_W";
    const std::string allocator = version6_ ? "ABV?$allocator@G@1@" : "";
    return Find("??0" + string + "QAE@PB" + unit + allocator + "@Z", &fromPointer_, error) &&
           Find("??0" + string + "QAE@PB" + unit + "I" + allocator + "@Z", &fromPointerAndLength_,
                error) &&
           Find("?append@" + string + "QAEAAV12@PB" + unit + "@Z", &append_, error) &&
           Find("??1" + string + "QAE@XZ", &destroy_, error);
  }

  const void* Make(std::u16string_view text) override {
    const std::u16string copy(text);
    void* object = NewObject();
    if (copy.find(u'\0') == std::u16string::npos) {
      version6_ ? As<FromPointer6>(fromPointer_)(object, Wide(copy), &allocator_)
                : As<FromPointer>(fromPointer_)(object, Wide(copy));
    } else {
      version6_ ? As<FromPointerAndLength6>(fromPointerAndLength_)(object, Wide(copy), copy.size(),
                                                                   &allocator_)
                : As<FromPointerAndLength>(fromPointerAndLength_)(object, Wide(copy), copy.size());
    }
    return object;
  }

  const void* MakeAppended(std::u16string_view first, std::u16string_view second) override {
    void* object = const_cast<void*>(Make(first));
    As<Append>(append_)(object, Wide(std::u16string(second)));
    return object;
  }

  void Clear() override {
    for (auto& object : objects_) As<Destroy>(destroy_)(object.data());
    objects_.clear();
  }

 private:
  // The library's members are __thiscall: the object in ECX.
  using FromPointer = void*(__attribute__((thiscall)) *)(void*, const wchar_t*);
  using FromPointer6 = void*(__attribute__((thiscall)) *)(void*, const wchar_t*, const void*);
  using FromPointerAndLength = void*(__attribute__((thiscall)) *)(void*, const wchar_t*, size_t);
  using FromPointerAndLength6 = void*(__attribute__((thiscall)) *)(void*, const wchar_t*, size_t,
                                                                   const void*);
  using Append = void*(__attribute__((thiscall)) *)(void*, const wchar_t*);
  using Destroy = void(__attribute__((thiscall)) *)(void*);

  template <typename Function>
  static Function As(FARPROC entry) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(entry));
  }
  static const wchar_t* Wide(const std::u16string& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
  }
  bool Find(const std::string& name, FARPROC* entry, std::string* error) {
    *entry = GetProcAddress(library_, name.c_str());
    if (*entry == nullptr) *error = "the library exports no " + name;
    return *entry != nullptr;
  }
  // Room for any of the libraries' objects (at most 28 bytes), never moved.
  void* NewObject() { return objects_.emplace_back().data(); }

  HMODULE library_ = nullptr;
  bool version6_ = false;
  FARPROC fromPointer_ = nullptr;
  FARPROC fromPointerAndLength_ = nullptr;
  FARPROC append_ = nullptr;
  FARPROC destroy_ = nullptr;
  char allocator_ = 0;  // an empty class; the constructors copy it
  std::deque<std::array<unsigned char, 64>> objects_;
};

// Our own library's std::wstring: the mingw layout.
class OwnStrings : public HostStrings {
 public:
  const void* Make(std::u16string_view text) override {
    return &objects_.emplace_back(reinterpret_cast<const wchar_t*>(text.data()), text.size());
  }
  const void* MakeAppended(std::u16string_view first, std::u16string_view second) override {
    std::wstring& object =
        objects_.emplace_back(reinterpret_cast<const wchar_t*>(first.data()), first.size());
    object.append(reinterpret_cast<const wchar_t*>(second.data()), second.size());
    return &object;
  }
  void Clear() override { objects_.clear(); }

 private:
  std::deque<std::wstring> objects_;
};

// Objects laid out byte by byte as |layout| lays them out.
class LaidOutStrings : public HostStrings {
 public:
  explicit LaidOutStrings(HostStringLayout layout) : layout_(layout) {}
  const void* Make(std::u16string_view text) override {
    objects_.push_back(std::make_unique<HostStringObject>(layout_, text));
    return objects_.back()->Address();
  }
  const void* MakeAppended(std::u16string_view first, std::u16string_view second) override {
    return Make(std::u16string(first) + std::u16string(second));
  }
  void Clear() override { objects_.clear(); }

 private:
  HostStringLayout layout_;
  std::deque<std::unique_ptr<HostStringObject>> objects_;
};

}  // namespace qel::test
