#pragma once

// C++ callables as JavaScript functions, and JavaScript functions called
// with C++ values: expose, callAs, awaitAs, JsFunction. Arguments and results
// go through Conversion<T> (Conversions.h), checked both ways.

#include <qor/javascript/Conversions.h>
#include <qor/javascript/Error.h>
#include <qor/javascript/Exception.h>
#include <qor/javascript/Export.h>
#include <qor/javascript/V8Runtime.h>

#include <v8-exception.h>
#include <v8-external.h>
#include <v8-fast-api-calls.h>
#include <v8-function-callback.h>
#include <v8-persistent-handle.h>
#include <v8-template.h>

#include <array>
#include <cstdint>
#include <cstddef>
#include <exception>
#include <expected>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace qor::format::engine::javascript {

// As a host function's last parameter: every remaining argument, each
// converted to T. The function then takes any number of them.
template <class T>
struct Rest : std::vector<T> {};

// What the runtime keeps for the host's bindings until it goes, and what
// the templates below share. Not for the host's own use.
namespace binding {

// Anything kept for as long as the runtime lives (a host function's
// callable and name, a class's members), destroyed after its isolate.
struct Kept {
    virtual ~Kept() = default;
    // Called inside the isolate before it goes: lets go of V8's handles.
    virtual void release() {}
    // Runs a host function's call, for a function that finds what it calls
    // by number (in a runtime that makes or was restored from a snapshot).
    virtual void call(const v8::FunctionCallbackInfo<v8::Value>& info) { (void)info; }
};

// Keeps `kept` with the runtime; its address stays valid until the runtime
// goes.
QORJS_API void keep(V8Runtime& runtime, std::unique_ptr<Kept> kept);

// The runtime whose isolate this is; null for an isolate no V8Runtime made.
QORJS_API V8Runtime* runtimeOf(v8::Isolate* isolate);

// A JavaScript value held from C++, on the runtime's thread. The runtime
// empties every cell when it goes (runtime null, handle reset), so a cell
// that outlives it is harmless.
struct Cell {
    v8::Global<v8::Value> value;
    V8Runtime* runtime = nullptr;
    // Which thread made the cell (the runtime's: V8 may be used there only).
    // Only its id is kept; no thread is started.
    decltype(std::this_thread::get_id()) thread = std::this_thread::get_id();
};

// The record for a value of the runtime's used on another thread.
QORJS_API Error otherThread(std::string_view name);
QORJS_API std::shared_ptr<Cell> cell(V8Runtime& runtime, v8::Local<v8::Value> value);

QORJS_API void throwTypeError(v8::Isolate* isolate, std::string_view text);
QORJS_API void throwError(v8::Isolate* isolate, std::string_view text);

// Sets `value` at the dotted `path` below the global object, making plain
// objects for the parts missing on the way.
QORJS_API std::expected<void, Error> setAtPath(V8Runtime& runtime, std::string_view path, v8::Local<v8::Value> value);

// "name: expected 2 arguments, got 1", for the bounds of a call.
QORJS_API std::string arityRefusal(std::string_view name, std::size_t least, std::size_t most, int got);

// A refusal of a value the host gave or was given, as a record (type Other):
// "name: what: text".
QORJS_API Error refusalRecord(std::string_view name, std::string_view what, std::string_view text);

// The record for a runtime that is gone.
QORJS_API Error runtimeGone(std::string_view name);

// A JavaScript function made from `callback`, with `kept` as its data,
// named `name`'s last part; `fast`, when set, is V8's fast path for it. In a
// runtime that makes or was restored from a snapshot, the function instead
// finds `kept` by number and calls its call(): the snapshot then holds no
// address of the host's.
QORJS_API std::expected<v8::Local<v8::Function>, std::string> makeFunction(v8::Local<v8::Context> context,
                                                                           std::string_view name,
                                                                           v8::FunctionCallback callback,
                                                                           Kept* kept,
                                                                           int length,
                                                                           const v8::CFunction* fast);

// Values that the runtime keeps when exposed as temporaries (a HostObject
// given up by the host): they then live as long as the runtime.
template <class T>
struct KeptWhenExposed : std::false_type {};

template <class T>
struct KeptValue : Kept {
    explicit KeptValue(T value) : value(std::move(value)) {}
    T value;
};

// ---- A callable's signature ------------------------------------------------

template <class F>
struct SignatureOf : SignatureOf<decltype(&std::remove_cvref_t<F>::operator())> {};
template <class R, class... A>
struct SignatureOf<R (*)(A...)> {
    using type = R(A...);
};
template <class R, class... A>
struct SignatureOf<R (*)(A...) noexcept> : SignatureOf<R (*)(A...)> {};
template <class R, class... A>
struct SignatureOf<R(A...)> : SignatureOf<R (*)(A...)> {};
template <class C, class R, class... A>
struct SignatureOf<R (C::*)(A...)> : SignatureOf<R (*)(A...)> {};
template <class C, class R, class... A>
struct SignatureOf<R (C::*)(A...) const> : SignatureOf<R (*)(A...)> {};
template <class C, class R, class... A>
struct SignatureOf<R (C::*)(A...) noexcept> : SignatureOf<R (*)(A...)> {};
template <class C, class R, class... A>
struct SignatureOf<R (C::*)(A...) const noexcept> : SignatureOf<R (*)(A...)> {};

// ---- Parameters ----------------------------------------------------------

template <class T>
struct IsRest : std::false_type {};
template <class T>
struct IsRest<Rest<T>> : std::true_type {};
template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

// A parameter that no argument fills: the runtime, or V8's callback info.
template <class P>
constexpr bool kInjected = std::is_same_v<std::remove_cvref_t<P>, V8Runtime> ||
                           std::is_same_v<std::remove_cvref_t<P>, v8::FunctionCallbackInfo<v8::Value>>;

template <class P>
constexpr bool kFromArgument = !kInjected<P> && !IsRest<std::remove_cvref_t<P>>::value;

// What a parameter's converted value is kept in until the call.
template <class P, class Plain = std::remove_cvref_t<P>>
struct SlotOf {
    using type = typename Conversion<Plain>::Held;
};
template <class P>
struct SlotOf<P, V8Runtime> {
    using type = V8Runtime*;
};
template <class P>
struct SlotOf<P, v8::FunctionCallbackInfo<v8::Value>> {
    using type = const v8::FunctionCallbackInfo<v8::Value>*;
};
template <class P, class T>
struct SlotOf<P, Rest<T>> {
    using type = Rest<typename Conversion<T>::Held>;
};

// The text of an std::expected's error side.
template <class E>
std::string errorText(const E& error)
{
    if constexpr (std::is_convertible_v<const E&, std::string_view>)
        return std::string(std::string_view(error));
    else if constexpr (std::is_same_v<E, Error>)
        return error.message;
    else if constexpr (std::is_same_v<E, std::error_code>)
        return error.message();
    else if constexpr (requires { error.what(); })
        return std::string(error.what());
    else
        static_assert(sizeof(E) == 0, "an std::expected's error must be text, an Error, an error_code or an exception");
}

template <class T>
struct IsExpected : std::false_type {};
template <class T, class E>
struct IsExpected<std::expected<T, E>> : std::true_type {};

// An std::expected whose error is a record: a JavaScript failure returned,
// not thrown.
template <class T>
struct IsExpectedWithRecord : std::false_type {};
template <class T>
struct IsExpectedWithRecord<std::expected<T, Error>> : std::true_type {};

// Hands a host function's (or a getter's) result to JavaScript through
// `out`; a refusal is a TypeError naming `name`.
template <class R>
void giveResult(v8::Isolate* isolate, v8::ReturnValue<v8::Value> out, std::string_view name, R&& result)
{
    using Plain = std::remove_cvref_t<R>;
    if constexpr (IsExpected<Plain>::value) {
        if (!result.has_value()) {
            throwError(isolate, errorText(result.error()));
        } else if constexpr (!std::is_void_v<typename Plain::value_type>) {
            giveResult(isolate, out, name, std::move(*result));
        }
    } else if constexpr (std::is_same_v<Plain, double> || std::is_same_v<Plain, bool> ||
                         std::is_same_v<Plain, std::int32_t> || std::is_same_v<Plain, std::uint32_t>) {
        out.Set(result);
    } else {
        auto value = toValue(isolate->GetCurrentContext(), result);
        if (value)
            out.Set(*value);
        else if (!value.error().empty())
            throwTypeError(isolate, std::string(name) + ": its result: " + value.error());
    }
}

// Calls `function`, of signature R(A...), with what `info` carries; every
// failure becomes a JavaScript exception, never a C++ one.
template <class Signature>
struct Invoker;

template <class R, class... A>
struct Invoker<R(A...)> {
    static constexpr std::size_t kCount = sizeof...(A);
    static constexpr std::array<bool, kCount + 1> kArgument{kFromArgument<A>..., false};
    static constexpr std::array<bool, kCount + 1> kOptional{IsOptional<std::remove_cvref_t<A>>::value..., false};
    static constexpr bool kRest = (IsRest<std::remove_cvref_t<A>>::value || ...);

    static constexpr std::size_t most()
    {
        std::size_t count = 0;
        for (std::size_t i = 0; i < kCount; ++i)
            count += kArgument[i];
        return count;
    }
    // Trailing optional arguments may be left out.
    static constexpr std::size_t least()
    {
        std::size_t count = most();
        for (std::size_t i = kCount; i-- > 0;) {
            if (!kArgument[i])
                continue;
            if (!kOptional[i])
                break;
            --count;
        }
        return count;
    }
    // The argument's index for parameter I.
    template <std::size_t I>
    static constexpr int argumentIndex()
    {
        int index = 0;
        for (std::size_t i = 0; i < I; ++i)
            index += kArgument[i];
        return index;
    }

    template <std::size_t I, class Slot>
    static bool fill(const v8::FunctionCallbackInfo<v8::Value>& info,
                     v8::Local<v8::Context> context,
                     std::string_view name,
                     V8Runtime& runtime,
                     std::optional<Slot>& slot)
    {
        using P = std::tuple_element_t<I, std::tuple<A...>>;
        using Plain = std::remove_cvref_t<P>;
        constexpr int index = argumentIndex<I>();
        if constexpr (std::is_same_v<Plain, V8Runtime>) {
            slot.emplace(&runtime);
        } else if constexpr (std::is_same_v<Plain, v8::FunctionCallbackInfo<v8::Value>>) {
            slot.emplace(&info);
        } else if constexpr (IsRest<Plain>::value) {
            using Element = typename Plain::value_type;
            slot.emplace();
            for (int i = index; i < info.Length(); ++i) {
                auto converted = Conversion<Element>::fromValue(context, info[i]);
                if (!converted)
                    return refuse(info, name, i, std::move(converted.error()));
                slot->push_back(std::move(*converted));
            }
        } else {
            auto converted = Conversion<Plain>::fromValue(context, info[index]);
            if (!converted)
                return refuse(info, name, index, std::move(converted.error()));
            slot.emplace(std::move(*converted));
        }
        return true;
    }

    static bool refuse(const v8::FunctionCallbackInfo<v8::Value>& info, std::string_view name, int index, std::string text)
    {
        // An empty text: the value's own code threw, and that stays the exception.
        if (!text.empty())
            throwTypeError(info.GetIsolate(),
                           std::string(name) + ": argument " + std::to_string(index + 1) + ": " + text);
        return false;
    }

    template <class P, class Slot>
    static decltype(auto) pass(Slot& slot)
    {
        if constexpr (kInjected<P>)
            return (*slot);
        else if constexpr (std::is_lvalue_reference_v<P>)
            return (static_cast<Slot&>(slot));
        else
            return static_cast<Slot&&>(slot);
    }

    template <bool ExtraIgnored, class Function, std::size_t... I>
    static void call(const Function& function,
                     std::string_view name,
                     V8Runtime& runtime,
                     const v8::FunctionCallbackInfo<v8::Value>& info,
                     std::index_sequence<I...>)
    {
        const int given = info.Length();
        if (given < static_cast<int>(least()) || (!kRest && !ExtraIgnored && given > static_cast<int>(most()))) {
            throwTypeError(info.GetIsolate(), arityRefusal(name, least(), kRest ? SIZE_MAX : most(), given));
            return;
        }
        // Numbers and the like need no context: not looking it up is a good
        // part of a small call's cost.
        constexpr bool kNeedsContext = (!kPlainConversion<std::remove_cvref_t<A>> || ...);
        [[maybe_unused]] v8::Local<v8::Context> context;
        if constexpr (kNeedsContext)
            context = info.GetIsolate()->GetCurrentContext();
        // Nothing C++ throws may unwind through V8's frames: not the host's
        // exceptions, nor a conversion's std::bad_alloc (an array's length is
        // the script's to choose).
        try {
            std::tuple<std::optional<typename SlotOf<A>::type>...> slots;
            if (!(fill<I>(info, context, name, runtime, std::get<I>(slots)) && ...))
                return;
            if constexpr (std::is_void_v<R>)
                function(pass<A>(*std::get<I>(slots))...);
            else
                giveResult(info.GetIsolate(), info.GetReturnValue(), name, function(pass<A>(*std::get<I>(slots))...));
        } catch (const std::bad_alloc&) {
            throwError(info.GetIsolate(), std::string(name) + ": out of memory");
        } catch (const std::exception& failure) {
            throwError(info.GetIsolate(), failure.what());
        } catch (...) {
            throwError(info.GetIsolate(), std::string(name) + " threw a C++ exception that is no std::exception");
        }
    }

    // `ExtraIgnored`: arguments past the last are ignored rather than
    // refused (for a function with a fast path, which cannot see them).
    template <bool ExtraIgnored = false, class Function>
    static void invoke(const Function& function,
                       std::string_view name,
                       V8Runtime& runtime,
                       const v8::FunctionCallbackInfo<v8::Value>& info)
    {
        call<ExtraIgnored>(function, name, runtime, info, std::index_sequence_for<A...>{});
    }
};

// V8's fast path, for a captureless noexcept callable of numbers: TurboFan
// calls it straight from optimised code, skipping the callback. It drops
// arguments past the last unseen, so such a function's callback ignores them
// too: the same call must not throw or not depending on what V8 optimised.
template <class Function, class Signature>
struct FastPath {
    static constexpr bool kEnabled = false;
    static const v8::CFunction* get() { return nullptr; }
};
template <class Function, class R, class... A>
    requires(std::is_empty_v<Function> && std::is_default_constructible_v<Function> &&
             std::is_nothrow_invocable_v<Function, A...> && (std::is_same_v<R, double> || std::is_void_v<R>) &&
             (std::is_same_v<A, double> && ...))
struct FastPath<Function, R(A...)> {
    static constexpr bool kEnabled = true;
    // Not noexcept itself: V8 makes a CFunction from a plain function type.
    static R call(v8::Local<v8::Object>, A... arguments) { return Function{}(arguments...); }
    static const v8::CFunction* get()
    {
        static const v8::CFunction fast = v8::CFunction::Make(&FastPath::call);
        return &fast;
    }
};

// A host function: its callable and its name, kept by the runtime.
template <class Signature, class Function>
struct HostFunction final : Kept {
    HostFunction(V8Runtime& runtime, std::string name, Function function)
        : runtime(runtime), name(std::move(name)), function(std::move(function))
    {
    }
    static void callback(const v8::FunctionCallbackInfo<v8::Value>& info)
    {
        auto* self = static_cast<HostFunction*>(static_cast<Kept*>(info.Data().As<v8::External>()->Value()));
        self->call(info);
    }
    void call(const v8::FunctionCallbackInfo<v8::Value>& info) override
    {
        Invoker<Signature>::template invoke<FastPath<Function, Signature>::kEnabled>(function, name, runtime, info);
    }
    V8Runtime& runtime;
    std::string name;
    Function function;
};

// `function` as a JavaScript function named `name` in this runtime.
template <class Signature, class Function>
std::expected<v8::Local<v8::Function>, std::string> hostFunction(V8Runtime& runtime,
                                                                 v8::Local<v8::Context> context,
                                                                 std::string name,
                                                                 Function function)
{
    using Kept = HostFunction<Signature, Function>;
    auto kept = std::make_unique<Kept>(runtime, std::move(name), std::move(function));
    Kept* address = kept.get();
    keep(runtime, std::move(kept));
    return makeFunction(context, address->name, &Kept::callback, address,
                        static_cast<int>(Invoker<Signature>::least()),
                        FastPath<Function, Signature>::get());
}

// The scope a call from C++ opens: the runtime's isolate and context, and a
// handle scope. One that lets a result out (`Escaping`) needs the caller's
// own handle scope to let it out into.
template <bool Escaping = false>
class CallScope {
public:
    explicit CallScope(V8Runtime& runtime)
        : isolateScope(runtime.isolate()), handles(runtime.isolate()), contextScope(runtime.context())
    {
    }
    template <class T>
        requires Escaping
    v8::Local<T> escape(v8::Local<T> value)
    {
        return handles.Escape(value);
    }

private:
    v8::Isolate::Scope isolateScope;
    std::conditional_t<Escaping, v8::EscapableHandleScope, v8::HandleScope> handles;
    v8::Context::Scope contextScope;
};

// Whether R is a V8 handle, which must outlive the call's own scope.
template <class R>
constexpr bool kIsHandle = false;
template <class T>
constexpr bool kIsHandle<v8::Local<T>> = true;

// `value` as an R for a caller in C++; a refusal is a record naming `name`.
template <class R, class Scope>
std::expected<R, Error> resultAs(Scope& scope,
                                 v8::Local<v8::Context> context,
                                 std::string_view name,
                                 v8::Local<v8::Value> value)
{
    if constexpr (std::is_void_v<R>) {
        (void)scope, (void)context, (void)name, (void)value;
        return {};
    } else {
        static_assert(std::is_same_v<typename Conversion<R>::Held, R>,
                      "a result is held by its caller: ask for an owning type (std::string, not std::string_view)");
        // A getter or proxy trap met on the way is script: what it throws is
        // caught here, never left pending.
        std::optional<v8::TryCatch> tryCatch;
        if constexpr (!kPlainConversion<R>)
            tryCatch.emplace(context->GetIsolate());
        auto converted = Conversion<R>::fromValue(context, value);
        if (!converted && tryCatch && tryCatch->HasCaught())
            return std::unexpected(V8Error::get(Error::Type::Runtime, context->GetIsolate(), *tryCatch));
        if (!converted)
            return std::unexpected(refusalRecord(name, "its result", converted.error()));
        if constexpr (kIsHandle<R>)
            return scope.escape(*converted);
        else
            return std::move(*converted);
    }
}

// C++ arguments as JavaScript values, or a record naming the one refused.
template <class... A>
std::expected<std::vector<v8::Local<v8::Value>>, Error> argumentValues(v8::Local<v8::Context> context,
                                                                       std::string_view name,
                                                                       const A&... arguments)
{
    std::vector<v8::Local<v8::Value>> values;
    values.reserve(sizeof...(A));
    std::optional<Error> refused;
    // Unused when there are no arguments.
    [[maybe_unused]] const auto add = [&](const auto& argument) {
        auto value = toValue(context, argument);
        if (!value) {
            refused = refusalRecord(name, "argument " + std::to_string(values.size() + 1), value.error());
            return false;
        }
        values.push_back(*value);
        return true;
    };
    if (!(add(arguments) && ...))
        return std::unexpected(std::move(*refused));
    return values;
}

}  // namespace binding

// ---- Exposing C++ to JavaScript ----------------------------------------------

// Puts `what` at the dotted `path` below the global object ("host.add"),
// making plain objects for the parts missing on the way:
//   - a callable (function, function pointer, lambda) becomes a function
//     that converts its arguments and result (see Conversion). A wrong number
//     of arguments, or one that does not convert, is a TypeError naming the
//     path, the argument's position and what was expected; a C++ exception
//     becomes an Error with its what(); an std::expected result whose error
//     is set becomes a thrown Error with its text. Parameters of type
//     V8Runtime& and const v8::FunctionCallbackInfo<v8::Value>& take no
//     argument; a last Rest<T> takes the rest. Trailing std::optional
//     arguments may be left out. A captureless noexcept callable whose
//     parameters and result are double also gets V8's fast calls, and
//     ignores arguments past its last (the fast path cannot see them).
//   - anything with a Conversion (a value, a HostClass, a HostObject)
//     becomes its JavaScript value. A HostObject given as a temporary is
//     kept by the runtime, and its object shown for the runtime's life.
// Callables are kept by the runtime until it goes. Needs no Scope.
template <class What>
std::expected<void, Error> expose(V8Runtime& runtime, std::string_view path, What&& what)
{
    using Plain = std::remove_cvref_t<What>;
    binding::CallScope<> scope(runtime);
    v8::Local<v8::Context> context = runtime.context();
    std::expected<v8::Local<v8::Value>, std::string> value;
    if constexpr (binding::KeptWhenExposed<Plain>::value && !std::is_lvalue_reference_v<What>) {
        auto kept = std::make_unique<binding::KeptValue<Plain>>(std::forward<What>(what));
        value = toValue(context, kept->value);
        binding::keep(runtime, std::move(kept));
    } else if constexpr (Convertible<Plain>) {
        value = toValue(context, what);
    } else {
        using Signature = typename binding::SignatureOf<Plain>::type;
        std::expected<v8::Local<v8::Function>, std::string> function;
        if constexpr (std::is_function_v<Plain>)
            function = binding::hostFunction<Signature>(runtime, context, std::string(path), &what);
        else
            function = binding::hostFunction<Signature>(runtime, context, std::string(path), Plain(std::forward<What>(what)));
        if (function)
            value = function->template As<v8::Value>();
        else
            value = std::unexpected(std::move(function.error()));
    }
    if (!value)
        return std::unexpected(binding::refusalRecord(path, "cannot be exposed", value.error()));
    return binding::setAtPath(runtime, path, *value);
}

// As expose, for `method` called on `object`, which must outlive the runtime
// or the function's last use.
template <class Class, class Method>
    requires std::is_member_function_pointer_v<Method>
std::expected<void, Error> expose(V8Runtime& runtime, std::string_view path, Method method, Class* object)
{
    return [&]<class R, class... A>(std::type_identity<R(A...)>) {
        return expose(runtime, path, [method, object](A... arguments) -> R {
            return (object->*method)(std::forward<A>(arguments)...);
        });
    }(std::type_identity<typename binding::SignatureOf<Method>::type>{});
}

// ---- Calling JavaScript from C++ ---------------------------------------------

// Calls the function at the dotted `path` with `arguments` converted to
// JavaScript, as V8Runtime::call does, and converts what it returns to R
// (void: nothing). A refused argument or result is a record of type Other
// naming the path ("sum: its result: expected a number, got 'x'"). Needs no
// Scope; an R that is a handle lives in the caller's.
template <class R = v8::Local<v8::Value>, class... A>
std::expected<R, Error> callAs(V8Runtime& runtime, std::string_view path, const A&... arguments)
{
    binding::CallScope<binding::kIsHandle<R>> scope(runtime);
    v8::Local<v8::Context> context = runtime.context();
    auto values = binding::argumentValues(context, path, arguments...);
    if (!values)
        return std::unexpected(std::move(values.error()));
    auto result = runtime.call(path, *values);
    if (!result)
        return std::unexpected(std::move(result.error()));
    return binding::resultAs<R>(scope, context, path, *result);
}

// The settled value of `value`, as V8Runtime::await waits for it, converted
// to R. Needs the runtime's Scope (for `value`).
template <class R>
std::expected<R, Error> awaitAs(V8Runtime& runtime, v8::Local<v8::Value> value)
{
    binding::CallScope<binding::kIsHandle<R>> scope(runtime);
    auto settled = runtime.await(value);
    if (!settled)
        return std::unexpected(std::move(settled.error()));
    return binding::resultAs<R>(scope, runtime.context(), "the awaited value", *settled);
}

// `value` as an R, or the refusal's record. Needs the runtime's Scope.
template <class R>
std::expected<R, Error> valueAs(V8Runtime& runtime, v8::Local<v8::Value> value)
{
    binding::CallScope<binding::kIsHandle<R>> scope(runtime);
    return binding::resultAs<R>(scope, runtime.context(), "the value", value);
}

// A JavaScript function kept by C++, to call later on the runtime's thread
// (an argument of this type takes a function). Copies share it. A call on
// another thread, or once the runtime is gone, is a record that says so
// (post the call with the runtime's Remote instead).
class JsFunction {
public:
    JsFunction() = default;
    explicit JsFunction(std::shared_ptr<binding::Cell> cell) : cell(std::move(cell)) {}

    // Calls the function with `arguments` converted, `this` undefined, as
    // V8Runtime::call does; its result converted to R (void: dropped).
    template <class R = void, class... A>
    std::expected<R, Error> call(const A&... arguments) const
    {
        if (cell && cell->thread != std::this_thread::get_id())
            return std::unexpected(binding::otherThread("the function"));
        if (!cell || cell->runtime == nullptr)
            return std::unexpected(binding::runtimeGone("the function"));
        V8Runtime& runtime = *cell->runtime;
        binding::CallScope<binding::kIsHandle<R>> scope(runtime);
        v8::Local<v8::Context> context = runtime.context();
        auto values = binding::argumentValues(context, "the function", arguments...);
        if (!values)
            return std::unexpected(std::move(values.error()));
        auto result = runtime.call(cell->value.Get(runtime.isolate()).As<v8::Function>(), *values);
        if (!result)
            return std::unexpected(std::move(result.error()));
        return binding::resultAs<R>(scope, context, "the function", *result);
    }

    // The function, in the caller's handle scope; empty once the runtime is
    // gone, and for an isolate other than its runtime's.
    v8::Local<v8::Function> function(v8::Isolate* isolate) const
    {
        if (!cell || cell->runtime == nullptr || cell->runtime->isolate() != isolate)
            return {};
        return cell->value.Get(isolate).As<v8::Function>();
    }

    // True while there is a function and its runtime lives.
    explicit operator bool() const { return cell && cell->runtime != nullptr; }

private:
    std::shared_ptr<binding::Cell> cell;
};

template <>
struct Conversion<JsFunction> {
    using Held = JsFunction;
    static std::expected<JsFunction, std::string> fromValue(v8::Local<v8::Context> context, v8::Local<v8::Value> value)
    {
        if (!value->IsFunction())
            return std::unexpected(conversion::refusal("a function", value));
        V8Runtime* runtime = binding::runtimeOf(context->GetIsolate());
        if (runtime == nullptr)
            return std::unexpected(std::string("a function kept from C++ needs a V8Runtime"));
        return JsFunction(binding::cell(*runtime, value));
    }
    static std::expected<v8::Local<v8::Value>, std::string> toValue(v8::Local<v8::Context> context,
                                                                    const JsFunction& value)
    {
        if (!value)
            return std::unexpected(std::string("the function's runtime is gone"));
        v8::Local<v8::Function> function = value.function(context->GetIsolate());
        if (function.IsEmpty())
            return std::unexpected(std::string("the function belongs to another runtime"));
        return function.As<v8::Value>();
    }
};

// A JavaScript function's failure, thrown by an std::function made from it
// whose result is no std::expected. Inside a host function it becomes that
// function's Error again.
class JsFunctionFailed : public qor::exception {
public:
    explicit JsFunctionFailed(Error failure) : qor::exception(failure.message), error(std::move(failure)) {}
    Error error;
};

// A JavaScript function as an std::function (called later, on the
// runtime's thread), and a C++ std::function as a JavaScript function. An
// std::function whose result is std::expected<T, Error> returns a failure;
// any other throws JsFunctionFailed.
template <class R, class... A>
struct Conversion<std::function<R(A...)>> {
    using Held = std::function<R(A...)>;
    static std::expected<Held, std::string> fromValue(v8::Local<v8::Context> context, v8::Local<v8::Value> value)
    {
        auto function = Conversion<JsFunction>::fromValue(context, value);
        if (!function)
            return std::unexpected(std::move(function.error()));
        return Held([function = std::move(*function)](A... arguments) -> R {
            if constexpr (binding::IsExpectedWithRecord<R>::value) {
                return function.call<typename R::value_type>(arguments...);
            } else {
                auto result = function.call<R>(arguments...);
                if (!result)
                    throw JsFunctionFailed(std::move(result.error()));
                if constexpr (!std::is_void_v<R>)
                    return std::move(*result);
            }
        });
    }
    static std::expected<v8::Local<v8::Value>, std::string> toValue(v8::Local<v8::Context> context, const Held& value)
    {
        V8Runtime* runtime = binding::runtimeOf(context->GetIsolate());
        if (runtime == nullptr)
            return std::unexpected(std::string("a host function needs a V8Runtime"));
        auto function = binding::hostFunction<R(A...)>(*runtime, context, "a host function", value);
        if (!function)
            return std::unexpected(std::move(function.error()));
        return function->template As<v8::Value>();
    }
};

}  // namespace qor::format::engine::javascript
