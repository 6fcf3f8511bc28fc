#pragma once

// C++ objects as JavaScript objects: HostClass<T> describes a class's
// methods and properties; HostObject<T> shows one object the host owns, and
// a constructor lets JavaScript make and own its own.

#include <qor/javascript/HostFunctions.h>

#include <v8-template.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

namespace qor::format::engine::javascript {

namespace binding {

// A class as the runtime keeps it: its constructor's template, made once.
struct ClassKept;

// A new class named `name`. Until it has a constructor, JavaScript may not
// make one: `new` is a TypeError.
QORJS_API ClassKept* newClass(V8Runtime& runtime, std::string name);

// What runs for `new`. Throws std::logic_error once the class is in use.
QORJS_API void setConstructor(ClassKept& kept, v8::FunctionCallback construct, void* data);

// The class's name, as messages use it.
QORJS_API const std::string& className(const ClassKept& kept);

// A method on the prototype; only the class's instances may be its `this`.
// Throws std::logic_error once the class is in use (its template is fixed then).
QORJS_API void addMethod(ClassKept& kept, const std::string& name, v8::FunctionCallback callback, void* data, int length);

// A property of each instance read and written through the callbacks.
QORJS_API void addProperty(ClassKept& kept,
                           const std::string& name,
                           v8::AccessorNameGetterCallback getter,
                           v8::AccessorNameSetterCallback setter,
                           void* data);

// The constructor function (the class is in use from then on).
QORJS_API std::expected<v8::Local<v8::Function>, std::string> constructorOf(ClassKept& kept,
                                                                            v8::Local<v8::Context> context);

// A new instance that stands for `object`, which the host keeps owning.
QORJS_API std::expected<v8::Local<v8::Object>, std::string> newInstance(ClassKept& kept,
                                                                        v8::Local<v8::Context> context,
                                                                        void* object);

// Gives `object` to the instance being constructed: JavaScript owns it, and
// `destroy` deletes it once the instance is collected or the runtime goes.
QORJS_API void adopt(V8Runtime& runtime, v8::Local<v8::Object> instance, void* object, void (*destroy)(void*));

// Throws the Error that says the host let go of the object behind an instance.
QORJS_API void throwGone(const ClassKept& kept);

// The C++ object behind `instance`, which V8 guarantees is one of the
// class's (a method's signature, an accessor's holder); null, with the Error
// thrown, when the host let go of it. Inline: it is on every member's path.
inline void* objectOf(v8::Local<v8::Object> instance, const ClassKept& kept)
{
    void* object = instance->GetAlignedPointerFromInternalField(0);
    if (object == nullptr)
        throwGone(kept);
    return object;
}

// Leaves the instance in `cell` without its object, and lets go of it.
QORJS_API void detach(binding::Cell& cell);

// A class's member, and the class it belongs to.
template <class Member>
struct MemberKept : Kept {
    MemberKept(V8Runtime& runtime, const ClassKept& owner, std::string name, Member member)
        : runtime(runtime), owner(owner), name(std::move(name)), member(std::move(member))
    {
    }
    V8Runtime& runtime;
    const ClassKept& owner;
    std::string name;  // "Class.member"
    Member member;
};

}  // namespace binding

template <class T>
class HostClass;

// One C++ object the host owns, shown to JavaScript through its HostClass.
// JavaScript's object only refers to it: once this handle is released or
// destroyed, using the object from JavaScript throws an Error that says the
// host let go of it. Use and destroy it on the runtime's thread; harmless
// after the runtime is gone.
template <class T>
class HostObject {
public:
    HostObject() = default;
    HostObject(HostObject&&) noexcept = default;
    HostObject& operator=(HostObject&& other) noexcept
    {
        if (this != &other) {
            release();
            cell = std::move(other.cell);
            target = std::exchange(other.target, nullptr);
        }
        return *this;
    }
    ~HostObject() { release(); }

    // Cuts JavaScript's object off from the C++ one now.
    void release()
    {
        if (cell)
            binding::detach(*cell);
        cell.reset();
        target = nullptr;
    }

    // The C++ object; null once released.
    T* get() const { return target; }

    // JavaScript's object, in the caller's handle scope; empty once released
    // or the runtime is gone.
    v8::Local<v8::Object> object(v8::Isolate* isolate) const
    {
        if (!cell || cell->runtime == nullptr)
            return {};
        return cell->value.Get(isolate).template As<v8::Object>();
    }

private:
    friend class HostClass<T>;
    std::shared_ptr<binding::Cell> cell;
    T* target = nullptr;
};

// A C++ class as a JavaScript class: methods on its prototype, properties
// on its instances, from member functions or fields. Describe the members
// first, then use the class (expose it, wrap an object): its shape is fixed
// from then on, and adding a member throws std::logic_error.
//
//   HostClass<Counter> counters(runtime, "Counter");
//   counters.constructor<int>().method("add", &Counter::add).property("value", &Counter::value);
//   expose(runtime, "host.Counter", counters);          // new host.Counter(5)
//   HostObject<Counter> shown = counters.wrap(counter);  // the host's own
//   expose(runtime, "host.counter", shown);
//
// A method called on anything but an instance is a TypeError; a member's
// arguments and result convert as a host function's do (see expose).
template <class T>
class HostClass {
public:
    // A class named `name`, with no members and no constructor yet.
    HostClass(V8Runtime& runtime, std::string name)
        : runtime(&runtime), kept(binding::newClass(runtime, std::move(name)))
    {
    }

    // Lets JavaScript make instances with `new`, from a T made of (A...):
    // JavaScript owns it, and it is deleted when its object is collected or
    // the runtime goes. A constructor that throws is an Error.
    template <class... A>
    HostClass& constructor()
    {
        using Construct = binding::MemberKept<int>;
        auto made = std::make_unique<Construct>(*runtime, *kept, binding::className(*kept), 0);
        Construct* address = made.get();
        binding::keep(*runtime, std::move(made));
        binding::setConstructor(*kept, &construct<Construct, A...>, address);
        return *this;
    }

    // A method: a member function of T, or a callable whose first parameter
    // is T& (the object it is called on).
    template <class Method>
    HostClass& method(const std::string& name, Method method)
    {
        using Signature = typename binding::SignatureOf<Method>::type;
        using Kept = binding::MemberKept<Method>;
        auto made = std::make_unique<Kept>(*runtime, *kept, binding::className(*kept) + "." + name, std::move(method));
        Kept* address = made.get();
        binding::keep(*runtime, std::move(made));
        binding::addMethod(*kept, name, &callMethod<Kept, Signature>, address, 0);
        return *this;
    }

    // A property read through `getter` (a member function taking nothing, or
    // a field) and, when given, written through `setter` (a member function
    // taking the value, or a field). A field alone is read and written;
    // without a setter, writing is a TypeError.
    template <class Getter>
    HostClass& property(const std::string& name, Getter getter)
    {
        if constexpr (std::is_member_object_pointer_v<Getter>)
            return property(name, getter, getter);
        else
            return addProperty(name, getter, nullptr);
    }
    template <class Getter, class Setter>
    HostClass& property(const std::string& name, Getter getter, Setter setter)
    {
        return addProperty(name, getter, setter);
    }

    // `object`, owned by the host, as a JavaScript instance (see HostObject).
    // An empty HostObject when the instance cannot be made.
    HostObject<T> wrap(T& object)
    {
        binding::CallScope<> scope(*runtime);
        HostObject<T> shown;
        auto instance = binding::newInstance(*kept, runtime->context(), &object);
        if (!instance)
            return shown;
        shown.cell = binding::cell(*runtime, *instance);
        shown.target = &object;
        return shown;
    }

    // The constructor function, in the caller's handle scope.
    std::expected<v8::Local<v8::Function>, std::string> function(v8::Local<v8::Context> context) const
    {
        return binding::constructorOf(*kept, context);
    }

private:
    template <class Kept, class... A>
    static void construct(const v8::FunctionCallbackInfo<v8::Value>& info)
    {
        auto* self = static_cast<Kept*>(info.Data().template As<v8::External>()->Value());
        if (!info.IsConstructCall()) {
            binding::throwTypeError(info.GetIsolate(), "Class constructor " + self->name + " cannot be invoked without 'new'");
            return;
        }
        v8::Local<v8::Object> instance = info.This();
        // Nothing may find the field unset while the arguments convert.
        instance->SetAlignedPointerInInternalField(0, nullptr);
        V8Runtime& runtime = self->runtime;
        binding::Invoker<void(A...)>::invoke(
            [&runtime, instance](A... arguments) {
                auto made = std::make_unique<T>(std::forward<A>(arguments)...);
                binding::adopt(runtime, instance, made.release(), [](void* object) { delete static_cast<T*>(object); });
            },
            self->name, runtime, info);
    }

    template <class Kept, class Signature>
    static void callMethod(const v8::FunctionCallbackInfo<v8::Value>& info)
    {
        auto* self = static_cast<Kept*>(info.Data().template As<v8::External>()->Value());
        auto* object = static_cast<T*>(binding::objectOf(info.This(), self->owner));
        if (object == nullptr)
            return;
        callOn(*object, self->member, self->name, self->runtime, info, std::type_identity<Signature>{});
    }

    // A member function is called on the object; another callable gets the
    // object as its first argument.
    template <class Method, class R, class... A>
    static void callOn(T& object,
                       const Method& method,
                       const std::string& name,
                       V8Runtime& runtime,
                       const v8::FunctionCallbackInfo<v8::Value>& info,
                       std::type_identity<R(A...)>)
    {
        if constexpr (std::is_member_function_pointer_v<Method>) {
            binding::Invoker<R(A...)>::invoke(
                [&object, method](A... arguments) -> R { return (object.*method)(std::forward<A>(arguments)...); },
                name, runtime, info);
        } else {
            callWithObject(object, method, name, runtime, info, std::type_identity<R(A...)>{});
        }
    }
    template <class Method, class R, class Self, class... A>
    static void callWithObject(T& object,
                               const Method& method,
                               const std::string& name,
                               V8Runtime& runtime,
                               const v8::FunctionCallbackInfo<v8::Value>& info,
                               std::type_identity<R(Self, A...)>)
    {
        static_assert(std::is_same_v<std::remove_cvref_t<Self>, T>, "a method's callable takes the object (T&) first");
        binding::Invoker<R(A...)>::invoke(
            [&object, &method](A... arguments) -> R { return method(object, std::forward<A>(arguments)...); }, name,
            runtime, info);
    }

    template <class Getter, class Setter>
    struct Accessors {
        Getter getter;
        Setter setter;
    };

    template <class Getter, class Setter>
    HostClass& addProperty(const std::string& name, Getter getter, Setter setter)
    {
        using Kept = binding::MemberKept<Accessors<Getter, Setter>>;
        auto made = std::make_unique<Kept>(*runtime, *kept, binding::className(*kept) + "." + name,
                                           Accessors<Getter, Setter>{getter, setter});
        Kept* address = made.get();
        binding::keep(*runtime, std::move(made));
        binding::addProperty(*kept, name, &get<Kept>, &set<Kept>, address);
        return *this;
    }

    template <class Kept>
    static void get(v8::Local<v8::Name>, const v8::PropertyCallbackInfo<v8::Value>& info)
    {
        auto* self = static_cast<Kept*>(info.Data().template As<v8::External>()->Value());
        auto* object = static_cast<T*>(binding::objectOf(info.Holder(), self->owner));
        if (object == nullptr)
            return;
        v8::Isolate* isolate = info.GetIsolate();
        try {
            const auto& getter = self->member.getter;
            if constexpr (std::is_member_object_pointer_v<decltype(self->member.getter)>)
                binding::giveResult(isolate, info.GetReturnValue(), self->name, object->*getter);
            else
                binding::giveResult(isolate, info.GetReturnValue(), self->name, (object->*getter)());
        } catch (const std::exception& failure) {
            binding::throwError(isolate, failure.what());
        } catch (...) {
            binding::throwError(isolate, self->name + " threw a C++ exception that is no std::exception");
        }
    }

    template <class Kept>
    static void set(v8::Local<v8::Name>, v8::Local<v8::Value> value, const v8::PropertyCallbackInfo<void>& info)
    {
        auto* self = static_cast<Kept*>(info.Data().template As<v8::External>()->Value());
        using Setter = decltype(self->member.setter);
        v8::Isolate* isolate = info.GetIsolate();
        if constexpr (std::is_null_pointer_v<Setter>) {
            binding::throwTypeError(isolate, self->name + " is read-only");
        } else {
            auto* object = static_cast<T*>(binding::objectOf(info.Holder(), self->owner));
            if (object == nullptr)
                return;
            using Value = std::remove_cvref_t<typename SetterValue<Setter>::type>;
            auto converted = Conversion<Value>::fromValue(isolate->GetCurrentContext(), value);
            if (!converted) {
                if (!converted.error().empty())
                    binding::throwTypeError(isolate, self->name + ": " + converted.error());
                return;
            }
            try {
                const Setter& setter = self->member.setter;
                if constexpr (std::is_member_object_pointer_v<Setter>)
                    object->*setter = std::move(*converted);
                else
                    (object->*setter)(std::move(*converted));
            } catch (const std::exception& failure) {
                binding::throwError(isolate, failure.what());
            } catch (...) {
                binding::throwError(isolate, self->name + " threw a C++ exception that is no std::exception");
            }
        }
    }

    template <class Setter>
    struct SetterValue;
    template <class Field>
    struct SetterValue<Field T::*> {
        using type = Field;
    };
    template <class R, class V>
    struct SetterValue<R (T::*)(V)> {
        using type = V;
    };
    template <class R, class V>
    struct SetterValue<R (T::*)(V) noexcept> {
        using type = V;
    };

    friend struct Conversion<HostClass<T>>;
    V8Runtime* runtime;
    binding::ClassKept* kept;
};

// A class is its constructor function.
template <class T>
struct Conversion<HostClass<T>> {
    using Held = HostClass<T>;
    static std::expected<v8::Local<v8::Value>, std::string> toValue(v8::Local<v8::Context> context,
                                                                    const HostClass<T>& value)
    {
        auto function = value.function(context);
        if (!function)
            return std::unexpected(std::move(function.error()));
        return function->template As<v8::Value>();
    }
};

namespace binding {
template <class T>
struct KeptWhenExposed<HostObject<T>> : std::true_type {};
}  // namespace binding

// A host object is its JavaScript object.
template <class T>
struct Conversion<HostObject<T>> {
    using Held = HostObject<T>;
    static std::expected<v8::Local<v8::Value>, std::string> toValue(v8::Local<v8::Context> context,
                                                                    const HostObject<T>& value)
    {
        v8::Local<v8::Object> object = value.object(context->GetIsolate());
        if (object.IsEmpty())
            return std::unexpected(std::string("the host object was released"));
        return object.template As<v8::Value>();
    }
};

}  // namespace qor::format::engine::javascript
