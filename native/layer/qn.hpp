// The shared native layer: owned references, the error boundary, argument
// parsing from text signatures, calls into Python, module state and classes
// built on the framework's Python base classes. Every module includes this
// one header and is linked with the static library built from this folder.
#pragma once

#include "ref.hpp"
#include "args.hpp"
#include "pyapi.hpp"
#include "num.hpp"
