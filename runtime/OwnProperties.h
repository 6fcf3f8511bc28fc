#pragma once

// Reading what an object holds without running any of its JavaScript: no
// getter, no proxy trap, no toString. The console shows values through these
// reads only, so that printing a value can never change it or throw.

#include <v8-context.h>
#include <v8-exception.h>
#include <v8-function.h>
#include <v8-local-handle.h>
#include <v8-object.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qor::format::engine::javascript {

// Catches what JavaScript throws inside its scope, so that nothing stays
// pending for the caller, except a termination: that is thrown on when the
// scope ends, so a script stopped by its limits or by the host stays stopped.
class Contained {
public:
    explicit Contained(v8::Isolate* isolate) : tryCatch(isolate) {}
    ~Contained()
    {
        if (tryCatch.HasTerminated())
            tryCatch.ReThrow();
    }
    Contained(const Contained&) = delete;
    Contained& operator=(const Contained&) = delete;

    bool threw() const { return tryCatch.HasCaught(); }

private:
    v8::TryCatch tryCatch;
};

// One own property as its descriptor describes it.
struct OwnProperty {
    v8::Local<v8::Name> key;
    v8::Local<v8::Value> value;  // a data property's value; empty for an accessor
    bool getter = false;
    bool setter = false;
    bool enumerable = true;
};

// What `object` stands for: a proxy's target, through proxies of proxies;
// empty for a revoked proxy. Other objects are returned as they are.
v8::Local<v8::Object> throughProxies(v8::Local<v8::Object> object);

// The own property `key` of `object` (not a proxy; see throughProxies). None
// when there is no such property or reading its descriptor throws (a native
// accessor may; nothing is left pending).
std::optional<OwnProperty> ownProperty(v8::Local<v8::Context> context,
                                       v8::Local<v8::Object> object,
                                       v8::Local<v8::Name> key);

// The value of the own data property `name`; empty for a missing property
// and for an accessor, whose getter is not run.
v8::Local<v8::Value> ownDataValue(v8::Local<v8::Context> context, v8::Local<v8::Object> object, std::string_view name);
v8::Local<v8::Value> ownDataValue(v8::Local<v8::Context> context,
                                  v8::Local<v8::Object> object,
                                  v8::Local<v8::Name> key);

// The keys (strings and symbols) of the own properties of `object` (not a
// proxy) in their property order: the enumerable ones, or all with `hidden`;
// integer indices left out with `skipIndices`. Empty when they cannot be read.
std::vector<v8::Local<v8::Name>> ownKeys(v8::Local<v8::Context> context,
                                         v8::Local<v8::Object> object,
                                         bool hidden,
                                         bool skipIndices);

// The first data property `key` found on `object` or up its prototype chain
// (proxies in the chain are looked through); empty when the first one found
// is an accessor or there is none.
v8::Local<v8::Value> inheritedDataValue(v8::Local<v8::Context> context,
                                        v8::Local<v8::Object> object,
                                        v8::Local<v8::Name> key);

// A function's name: its own `name` data property when that is a string (as
// scripts see it), else the name V8 gave the function. UTF-8; may be empty.
std::string functionName(v8::Local<v8::Context> context, v8::Local<v8::Function> function);

// The name of an object's class: the name of the first `constructor` data
// property on its prototype chain (the object's own is not asked) that is a
// named function. Empty when the chain has none (Object.create(null)).
std::string constructorName(v8::Local<v8::Context> context, v8::Local<v8::Object> object);

}  // namespace qor::format::engine::javascript
