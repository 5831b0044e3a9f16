// glyphary-mail-reference MODULE_DIR MAIL_DIR OUT_DIR (Linux): the Linux module's output for
// the sample mails, which the Windows module's must equal byte for byte (scripts/windows-test).
// The module is loaded the way COM would load it: the module file, DllGetClassObject, the
// class factory.
#include <cstdio>
#include <string>

#include "mail_run.h"

using namespace glyphary;

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: glyphary-mail-reference MODULE_DIR MAIL_DIR OUT_DIR\n");
        return 2;
    }
    // Build paths are ASCII; widened unit for unit.
    const std::string path = std::string(argv[1]) + "/glyphary.so";
    std::basic_string<OLECHAR> widePath(path.begin(), path.end());
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
    HMODULE module = LoadLibraryW(widePath.c_str());
    if (!module) {
        std::fprintf(stderr, "glyphary-mail-reference: cannot load %s\n", path.c_str());
        return 1;
    }
    typedef HRESULT(STDAPICALLTYPE * GetClassObjectFn)(REFCLSID, REFIID, void**);
    auto getClassObject = reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    com_ptr<IClassFactory> factory;
    com_ptr<IGlyphary> object;
    bool ok = getClassObject &&
              SUCCEEDED(getClassObject(CLSID_Glyphary, IID_IClassFactory, factory.put_void())) &&
              SUCCEEDED(factory->CreateInstance(nullptr, IID_IGlyphary, object.put_void())) &&
              wintest::ConvertMails(object.get(), argv[2], argv[3]);
    object.reset();
    factory.reset();
    FreeLibrary(module);
    CoUninitialize();
    if (!ok) std::fprintf(stderr, "glyphary-mail-reference: conversion failed\n");
    return ok ? 0 : 1;
}
