#include "snapshot/Contents.h"

#include "binding/Bindings.h"
#include "runtime/Console.h"
#include "runtime/Loop.h"
#include "runtime/ModuleLoader.h"
#include "runtime/Records.h"

namespace qor::format::engine::javascript {

namespace {

// Made once: V8 keeps the pointer for as long as an isolate lives.
const std::vector<std::intptr_t>& table()
{
    static const std::vector<std::intptr_t> references = [] {
        std::vector<std::intptr_t> made;
        Console::addExternalReferences(made);
        Loop::addExternalReferences(made);
        ModuleLoader::addExternalReferences(made);
        addRecordReferences(made);
        addBindingReferences(made);
        made.push_back(0);
        return made;
    }();
    return references;
}

}  // namespace

const std::intptr_t* snapshotReferences()
{
    return table().data();
}

std::size_t snapshotReferenceCount()
{
    return table().size() - 1;
}

}  // namespace qor::format::engine::javascript
