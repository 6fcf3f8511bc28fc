#pragma once

// The whole public interface of QorJavaScript.

#include <qor/javascript/CodeCache.h>
#include <qor/javascript/Conversions.h>
#include <qor/javascript/Error.h>
#include <qor/javascript/Exception.h>
#include <qor/javascript/HostClass.h>
#include <qor/javascript/HostFunctions.h>
#include <qor/javascript/HostPromise.h>
#include <qor/javascript/ModuleSource.h>
#include <qor/javascript/Source.h>
#include <qor/javascript/StartupSnapshot.h>
#include <qor/javascript/V8Debugger.h>
#include <qor/javascript/V8Engine.h>
#include <qor/javascript/V8FuncResult.h>
#include <qor/javascript/V8Helper.h>
#include <qor/javascript/V8Limits.h>
#include <qor/javascript/V8Runtime.h>
#include <qor/javascript/Version.h>
#include <qor/log/QorLog.h>
