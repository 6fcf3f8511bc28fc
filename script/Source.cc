#include <qor/javascript/Source.h>
#include <qor/javascript/V8Helper.h>

#include <qor/javascript/ModuleSource.h>

namespace qor::format::engine::javascript {

v8::ScriptOrigin Source::getV8Origin(v8::Isolate* isolate) const
{
    return v8::ScriptOrigin(isolate,
                            V8Helper::v8_string(fileUrlFromPath(fileName), isolate),
                            0,
                            0,
                            false,
                            -1,
                            v8::Local<v8::Value>(),
                            false,
                            false,
                            isModule,
                            v8::Local<v8::Data>());
}

}  // namespace qor::format::engine::javascript
