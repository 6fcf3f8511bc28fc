// A complete small host of QorJavaScript, built against the installed package.
//
//   embed              runs its work: a script, a function call, a module
//   embed --inspect    runs the same work under the debugger on 127.0.0.1:9229
//   embed --inspect-live
//                      runs it at once, and a client may attach meanwhile
//
// Everything a host does, in order: register a logger for V8's own failures,
// make a runtime (V8, an isolate with its limits, a context, modules served
// from the host's own store), give scripts the host's own functions and
// objects, do the work, report every failure.

#include <qor/javascript/QorJavaScript.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace js = qor::format::engine::javascript;

namespace {

// The host's modules, by URL: an archive, a database, or, here, a map.
const std::map<std::string, std::string, std::less<>> moduleFiles = {
    {"app:/main.mjs", "import { add } from './math.mjs';\nexport const total = add(20, 22);\n"},
    {"app:/math.mjs", "export function add(a, b) { return a + b; }\n"},
};

// How the runtime finds them: "./x.mjs" is x.mjs beside the importing module,
// and the text comes from the map. A failure is the text an import fails with.
js::ModuleSource appModules()
{
    return {[](std::string_view specifier, std::string_view importer) -> std::expected<std::string, std::string> {
                if (!specifier.starts_with("./"))
                    return std::unexpected(std::string("only ./ imports are served"));
                return std::string(importer.substr(0, importer.rfind('/') + 1)) + std::string(specifier.substr(2));
            },
            [](std::string_view url) -> std::expected<std::string, std::string> {
                auto file = moduleFiles.find(url);
                if (file == moduleFiles.end())
                    return std::unexpected("no module " + std::string(url));
                return file->second;
            }};
}

void report(const js::Error& error)
{
    std::cerr << js::V8Runtime::describe(error);
}

// The host's own object, which scripts see as `host.stock`.
class Stock {
public:
    int count(const std::string& item) const { return item == "apples" ? 3 : 0; }
    std::string owner = "the host";
};

// What scripts may use of the host: a function, an object the host owns, and
// an answer that another thread of the host gives later, as a promise.
void exposeHost(js::V8Runtime& runtime, js::HostClass<Stock>& stocks, Stock& stock, std::jthread& worker)
{
    js::expose(runtime, "host.twice", [](double x) { return 2 * x; }).value();
    stocks.method("count", &Stock::count).property("owner", &Stock::owner);
    js::expose(runtime, "host.stock", stocks.wrap(stock)).value();
    js::expose(runtime, "host.later", [&worker](js::V8Runtime& runtime, std::string text) {
        js::HostPromise<std::string> answer(runtime);
        worker = std::jthread([answer, text] { answer.resolve(text + ", from another thread"); });
        return answer;
    }).value();
}

int doWork(js::V8Runtime& runtime)
{
    js::V8Runtime::Scope scope(runtime);

    // A classic script.
    std::string code = "var math = { add: (a, b) => a + b };  // var: a property of the global object\n"
                       "function greet(who) { return `Hello, ${who}`; }\n"
                       "greet('host')";
    auto greeting = runtime.runScript({code, "/app/scripts/greet.js", false});
    if (!greeting) {
        report(greeting.error());
        return 1;
    }
    std::cout << js::V8Helper::qor_string(*greeting, runtime.isolate()) << "\n";

    // A function call, found by its dotted path below the global object,
    // with C++ arguments and result.
    auto sum = js::callAs<double>(runtime, "math.add", 1, 2);
    if (!sum) {
        report(sum.error());  // it threw, there is no such function, or its result is no number
        return 1;
    }
    std::cout << "math.add(1, 2) = " << *sum << "\n";

    // The host's functions and objects, used by a script; the promise is
    // settled by the host's other thread while the loop waits.
    Stock stock;
    js::HostClass<Stock> stocks(runtime, "Stock");
    std::jthread worker;
    exposeHost(runtime, stocks, stock, worker);
    auto used = runtime.runScript({"host.later(`${host.stock.owner} has ${host.stock.count('apples')} apples, "
                                   "twice is ${host.twice(3)}`)",
                                   "/app/scripts/host.js", false});
    auto answer = used ? js::awaitAs<std::string>(runtime, *used) : std::unexpected(used.error());
    if (!answer) {
        report(answer.error());
        return 1;
    }
    std::cout << *answer << "\n";

    // A module and its import, from the host's store; its exports come back.
    auto main = runtime.runModule("app:/main.mjs");
    if (!main) {
        report(main.error());
        return 1;
    }
    v8::Local<v8::Value> total;
    if (!(*main)->Get(runtime.context(), js::V8Helper::v8_string("total", runtime.isolate())).ToLocal(&total))
        return 1;
    std::cout << "total from the module = " << runtime.inspect(total) << "\n";

    // Whatever the work left to do: timers, promise jobs, posted tasks.
    if (auto loop = runtime.runLoop(); !loop) {
        report(loop.error());
        return 1;
    }
    return 0;
}

// A startup snapshot: the state a script leaves, for runtimes that start
// with it without running the script again. The host's function is exposed
// again on the restored runtime; the script's closure reaches the new one.
int startFromSnapshot()
{
    js::SnapshotBuilder builder;
    js::expose(builder.runtime(), "host.rate", [] { return 0.2; }).value();
    {
        js::V8Runtime::Scope scope(builder.runtime());
        std::string rules = "const rate = host.rate;\n"
                            "function tax(amount) { return amount * rate(); }";
        if (auto ran = builder.runtime().runScript({rules, "/app/scripts/rules.js", false}); !ran) {
            report(ran.error());
            return 1;
        }
    }
    auto snapshot = builder.build();  // or snapshot->writeFile(path), StartupSnapshot::readFile(path)
    if (!snapshot) {
        report(snapshot.error());
        return 1;
    }
    auto restored = js::restoreRuntime(*snapshot, {}, [](js::V8Runtime& runtime) {
        js::expose(runtime, "host.rate", [] { return 0.25; }).value();
    });
    auto tax = restored ? js::callAs<double>(**restored, "tax", 100) : std::unexpected(restored.error());
    if (!tax) {
        report(tax.error());  // e.g. a function the snapshot holds that was not exposed again
        return 1;
    }
    std::cout << "tax on 100 from the snapshot = " << *tax << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const bool inspect = argc > 1 && std::string_view(argv[1]) == "--inspect";
    const bool inspectLive = argc > 1 && std::string_view(argv[1]) == "--inspect-live";

    // V8's own failures (fatal errors, out of memory, failed checks) go to
    // the logger registered as "V8"; register it before the engine starts.
    qor::log::LogManager::instance().addLogger(
        std::make_shared<qor::log::StreamLogger>("V8", std::cerr, qor::log::kLevelError));

    // No script may take more than 256 MB or run longer than two seconds at a
    // time; modules come from the host's store.
    js::V8Runtime::Settings settings;
    settings.limits = {256 << 20, std::chrono::milliseconds(2000)};
    settings.modules = appModules();
    // Compiled code is kept on disk and used by later starts (scripts with a
    // file name, modules from files).
    settings.compileCache =
        std::make_shared<js::CompileCache>(std::filesystem::temp_directory_path() / "embed-compile-cache");
    int status = 0;
    {
        js::V8Runtime runtime(settings);
        if (inspect) {
            js::V8Runtime::Scope scope(runtime);
            js::V8Debugger debugger(runtime.isolate(), js::V8Engine::get().getPlatform());
            debugger.execute(/*breakOnStart*/ true,
                             [&] { status = doWork(runtime); },
                             [](unsigned short port) {
                                 std::cerr << "Debugger listening on ws://127.0.0.1:" << port << std::endl;
                                 return true;
                             },
                             [] { std::cerr << "The debugger went away before the work started\n"; },
                             9229);
        } else if (inspectLive) {
            js::V8Runtime::Scope scope(runtime);
            js::V8Debugger debugger(runtime.isolate(), js::V8Engine::get().getPlatform());
            if (auto port = debugger.listen(9229)) {
                std::cerr << "Debugger listening on ws://127.0.0.1:" << *port << std::endl;
                // What arrives while the loop sleeps between timers is served there.
                debugger.serveInLoopOf(runtime);
            } else {
                std::cerr << "No debugger: " << port.error() << std::endl;
            }
            status = doWork(runtime);
            // A client still attached may take its profile before the host goes.
            debugger.serveUntilDisconnected();
        } else {
            status = doWork(runtime);
        }
    }
    if (status == 0 && !inspect && !inspectLive)
        status = startFromSnapshot();
    js::V8Engine::reset();
    return status;
}
