// The one header module code includes for the Windows API it uses: COM, OLE Automation,
// streams, MSXML, the registry, module and path functions. On Windows these are the SDK's;
// elsewhere they are this folder's stand-ins with the same names, layouts and values.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <objidl.h>
#include <msxml2.h>
#include <shlwapi.h>
#else
#include "platform/wintypes.h"
#include "platform/unknwn.h"
#include "platform/oleauto.h"
#include "platform/objidl.h"
#include "platform/stream.h"
#include "platform/combase.h"
#include "platform/winreg.h"
#include "platform/libloader.h"
#include "platform/msxml.h"
#include "platform/shlwapi.h"
#endif
