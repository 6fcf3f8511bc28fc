#include <qor/javascript/Error.h>
#include <qor/javascript/V8Helper.h>

#include <v8-context.h>
#include <v8-locker.h>
#include <v8-message.h>

#include <string>

namespace qor::format::engine::javascript {

namespace {

// Enters the isolate for the builder's duration; V8 allows nested entry.
class IsolateEntry {
public:
    explicit IsolateEntry(v8::Isolate* isolate) : isolate(isolate) { isolate->Enter(); }
    ~IsolateEntry() { isolate->Exit(); }
    IsolateEntry(const IsolateEntry&) = delete;
    IsolateEntry& operator=(const IsolateEntry&) = delete;

private:
    v8::Isolate* isolate;
};

std::optional<std::int64_t> widened(v8::Maybe<int> value)
{
    int number = 0;
    if (!value.To(&number))
        return std::nullopt;
    return static_cast<std::int64_t>(number);
}

}  // namespace

Error V8Error::get(Error::Type type, v8::Isolate* isolate, const v8::TryCatch& tryCatch)
{
    IsolateEntry entry(isolate);
    v8::HandleScope handleScope(isolate);

    // Everything worth reading is taken from the caught exception before any
    // JavaScript runs; the converters below may call a script's toString or
    // stack getter, and whatever those throw is caught and dropped here
    // instead of replacing the exception the caller's v8::TryCatch holds.
    v8::Local<v8::Value> exception = tryCatch.Exception();
    v8::Local<v8::Message> message = tryCatch.Message();
    v8::TryCatch conversionFailures(isolate);

    Error error;
    error.type = type;
    error.message = V8Helper::qor_string(v8::String::Utf8Value(isolate, exception));
    if (message.IsEmpty())
        return error;

    v8::Local<v8::Context> context = isolate->GetCurrentContext();
    error.lineNumber = widened(message->GetLineNumber(context));
    error.startColumn = widened(message->GetStartColumn(context));
    error.endColumn = widened(message->GetEndColumn(context));

    v8::Local<v8::String> sourceLine;
    if (message->GetSourceLine(context).ToLocal(&sourceLine))
        error.sourceLine = V8Helper::qor_string(v8::String::Utf8Value(isolate, sourceLine));

    v8::Local<v8::Value> stackTrace;
    if (!exception.IsEmpty() && v8::TryCatch::StackTrace(context, exception).ToLocal(&stackTrace) &&
        stackTrace->IsString() && stackTrace.As<v8::String>()->Length() > 0)
        error.stackTrace = V8Helper::qor_string(v8::String::Utf8Value(isolate, stackTrace));

    return error;
}

Error V8Error::get(Error::Type type, v8::Isolate* isolate, std::string_view text)
{
    if (isolate != nullptr) {
        v8::TryCatch tryCatch(isolate);
        v8::Local<v8::String> thrown = V8Helper::v8_string(text, isolate);
        if (!thrown.IsEmpty()) {
            isolate->ThrowException(thrown);
            if (tryCatch.HasCaught()) {
                Error error = get(type, isolate, tryCatch);
                // The thrown value is the text itself; keep the host's bytes.
                error.message.assign(text);
                return error;
            }
        }
    }
    Error error;
    error.type = type;
    error.message.assign(text);
    return error;
}

}  // namespace qor::format::engine::javascript
