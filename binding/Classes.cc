// The non-template halves of host classes: one FunctionTemplate per class,
// instances with one internal field for the C++ object.

#include <qor/javascript/HostClass.h>
#include <qor/javascript/V8Helper.h>

#include "binding/Bindings.h"

#include <v8-external.h>
#include <v8-template.h>

#include <stdexcept>

namespace qor::format::engine::javascript::binding {

namespace {

constexpr int kObjectField = 0;

// A class with no constructor is made by the host only.
void refuseNew(const v8::FunctionCallbackInfo<v8::Value>& info)
{
    const auto* name = static_cast<const std::string*>(info.Data().As<v8::External>()->Value());
    throwTypeError(info.GetIsolate(), *name + " objects are made by the host: JavaScript cannot make one");
}

}  // namespace

struct ClassKept : Kept {
    ClassKept(V8Runtime& runtime, std::string name) : runtime(runtime), name(std::move(name)) {}
    void release() override { shape.Reset(); }

    // Members may be added until V8 has made the class's function.
    v8::Local<v8::FunctionTemplate> changeable() const
    {
        if (inUse)
            throw std::logic_error("the class " + name +
                                   " is in use already: describe its constructor and members before exposing it or "
                                   "wrapping an object");
        return shape.Get(runtime.isolate());
    }

    V8Runtime& runtime;
    std::string name;
    v8::Global<v8::FunctionTemplate> shape;
    bool inUse = false;
};

ClassKept* newClass(V8Runtime& runtime, std::string name)
{
    CallScope<> scope(runtime);
    bindingsOf(runtime).classNames.push_back(name);
    auto kept = std::make_unique<ClassKept>(runtime, std::move(name));
    v8::Isolate* isolate = runtime.isolate();
    v8::Local<v8::FunctionTemplate> shape =
        v8::FunctionTemplate::New(isolate, &refuseNew, v8::External::New(isolate, &kept->name));
    shape->SetClassName(V8Helper::v8_string(kept->name, isolate));
    shape->InstanceTemplate()->SetInternalFieldCount(1);
    kept->shape.Reset(isolate, shape);
    ClassKept* address = kept.get();
    keep(runtime, std::move(kept));
    return address;
}

const std::string& className(const ClassKept& kept)
{
    return kept.name;
}

void setConstructor(ClassKept& kept, v8::FunctionCallback construct, void* data)
{
    CallScope<> scope(kept.runtime);
    kept.changeable()->SetCallHandler(construct, v8::External::New(kept.runtime.isolate(), data));
}

void addMethod(ClassKept& kept, const std::string& name, v8::FunctionCallback callback, void* data, int length)
{
    CallScope<> scope(kept.runtime);
    v8::Isolate* isolate = kept.runtime.isolate();
    v8::Local<v8::FunctionTemplate> shape = kept.changeable();
    // The signature makes V8 refuse any `this` but an instance, before the
    // callback runs.
    v8::Local<v8::FunctionTemplate> method =
        v8::FunctionTemplate::New(isolate, callback, v8::External::New(isolate, data), v8::Signature::New(isolate, shape),
                                  length, v8::ConstructorBehavior::kThrow);
    shape->PrototypeTemplate()->Set(V8Helper::v8_string(name, isolate), method);
}

void addProperty(ClassKept& kept,
                 const std::string& name,
                 v8::AccessorNameGetterCallback getter,
                 v8::AccessorNameSetterCallback setter,
                 void* data)
{
    CallScope<> scope(kept.runtime);
    v8::Isolate* isolate = kept.runtime.isolate();
    kept.changeable()->InstanceTemplate()->SetAccessor(V8Helper::v8_string(name, isolate), getter, setter,
                                                       v8::External::New(isolate, data), v8::DEFAULT, v8::DontDelete);
}

std::expected<v8::Local<v8::Function>, std::string> constructorOf(ClassKept& kept, v8::Local<v8::Context> context)
{
    // The template is a handle of the class's own isolate: another's must
    // not touch it.
    if (context->GetIsolate() != kept.runtime.isolate())
        return std::unexpected("the class " + kept.name + " belongs to another runtime");
    kept.inUse = true;
    v8::Local<v8::Function> function;
    if (!kept.shape.Get(kept.runtime.isolate())->GetFunction(context).ToLocal(&function))
        return std::unexpected("V8 could not make the class " + kept.name);
    return function;
}

std::expected<v8::Local<v8::Object>, std::string> newInstance(ClassKept& kept, v8::Local<v8::Context> context, void* object)
{
    kept.inUse = true;
    v8::Local<v8::Object> instance;
    if (!kept.shape.Get(kept.runtime.isolate())->InstanceTemplate()->NewInstance(context).ToLocal(&instance))
        return std::unexpected("V8 could not make an instance of " + kept.name);
    instance->SetAlignedPointerInInternalField(kObjectField, object);
    return instance;
}

void throwGone(const ClassKept& kept)
{
    throwError(kept.runtime.isolate(), "this " + kept.name + " is gone: the host let go of the object behind it");
}

void detach(Cell& cell)
{
    if (cell.runtime == nullptr)
        return;
    CallScope<> scope(*cell.runtime);
    cell.value.Get(cell.runtime->isolate()).As<v8::Object>()->SetAlignedPointerInInternalField(kObjectField, nullptr);
    cell.value.Reset();
    cell.runtime = nullptr;
}

}  // namespace qor::format::engine::javascript::binding
