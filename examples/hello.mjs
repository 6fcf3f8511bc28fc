// A module with an import and a timer: scripts/qorjs examples/hello.mjs, or
// the C++ host of the README.
import { greeting } from "./greeting.mjs";

setTimeout(() => console.log(greeting("a module")), 10);
