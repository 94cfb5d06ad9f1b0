#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include "ControlObject.h"

// Events from a control to its Python handlers, and the small Python objects
// the module hands out (bound methods, references).
namespace ocx {

namespace py = pybind11;

// The sink for HostedControl::Connect. On the control's own thread the event
// goes to the handlers at once; from any other thread it is queued for the
// owner's apartment, and when it has by-reference parameters the firing
// thread waits (bounded) for the answers.
platform::HostedControl::EventHandler MakeEventHandler(const std::shared_ptr<EventTargets>& targets);

// True while the calling thread is inside a handler called straight from a
// control's code: releasing that control then must wait until it has returned.
bool InsideDirectDelivery() noexcept;

// obj.Method as a callable that calls the control's method by name.
py::object MakeBoundMethod(const py::object& owner, const std::string& name);

}  // namespace ocx
