#include "Events.h"

#include "Values.h"

using namespace platform;

namespace ocx {

namespace {

// How long a control's thread waits for a script to answer an event with
// by-reference parameters before it goes on with what it had.
constexpr std::chrono::milliseconds kAnswerLimit{5000};

thread_local int DirectDepth = 0;

struct DirectScope {
    DirectScope() noexcept { ++DirectDepth; }
    ~DirectScope() { --DirectDepth; }
    DirectScope(const DirectScope&) = delete;
    DirectScope& operator=(const DirectScope&) = delete;
};

// Writes a handler's answer into an argument: through it when it is a
// reference, else (a queued copy) in its place, as the parameter's type.
void StoreAnswer(Variant& slot, VARTYPE declared, py::handle value) {
    HRESULT code = S_OK;
    std::string why;
    if (slot.IsByRef()) {
        if (WriteThrough(slot, value, code, why)) return;
    } else {
        Variant typed;
        if (ToVariant(value, declared & VT_TYPEMASK, typed, code, why)) {
            slot = typed;
            return;
        }
    }
    if (why.empty()) why = "cannot be written back";
    RaiseControlError(code, "the answer " + why, "");
}

// Calls target.On<Event>(args...) and takes back what it answers. A handler
// that raises is reported to sys.unraisablehook and the next one runs.
void CallHandler(py::handle target, const EventInfo& event, std::span<Variant> args) {
    py::object method = py::getattr(target, py::str("On" + event.Name), py::none());
    if (method.is_none()) return;
    py::tuple values(args.size());
    std::vector<std::size_t> byRef;
    std::vector<py::object> refs;
    for (std::size_t i = 0; i < args.size(); ++i) {
        py::object value = FromVariant(args[i]);
        const bool isRef = i < event.Params.size() && (event.Params[i].Type & VT_BYREF);
        if (isRef) {
            py::object ref = Types().Ref(value);
            byRef.push_back(i);
            refs.push_back(ref);
            values[i] = ref;
        } else {
            values[i] = value;
        }
    }
    try {
        py::object result = method(*values);
        if (!result.is_none() && !refs.empty()) {
            if (refs.size() > 1 && py::isinstance<py::tuple>(result)) {
                py::tuple answers = result;
                for (std::size_t i = 0; i < refs.size() && i < answers.size(); ++i) {
                    refs[i].attr("value") = answers[i];
                }
            } else {
                refs[0].attr("value") = result;
            }
        }
        for (std::size_t i = 0; i < refs.size(); ++i) {
            StoreAnswer(args[byRef[i]], event.Params[byRef[i]].Type, refs[i].attr("value"));
        }
    } catch (py::error_already_set& error) {
        error.discard_as_unraisable(method);
    }
}

void DeliverNow(const EventTargets& targets, const EventInfo& event, std::span<Variant> args) {
    if (!targets.Alive.load(std::memory_order_acquire)) return;
    std::vector<py::object> receivers;
    if (targets.Self) receivers.push_back(py::reinterpret_borrow<py::object>(targets.Self));
    for (const auto& handler : targets.Handlers) receivers.push_back(handler);
    for (const auto& receiver : receivers) {
        // A handler may release the control: the rest get nothing more.
        if (!targets.Alive.load(std::memory_order_acquire)) return;
        try {
            CallHandler(receiver, event, args);
        } catch (py::error_already_set& error) {
            error.discard_as_unraisable(receiver);
        }
    }
}

bool HasReferences(const EventInfo& event) {
    for (const auto& param : event.Params) {
        if (param.Type & VT_BYREF) return true;
    }
    return false;
}

// The value a by-reference argument points at, as a value of its own.
Variant Detach(const Variant& arg) {
    if (!arg.IsByRef()) return arg;
    Variant copy;
    if (arg.BaseType() == VT_BOOL) return Variant::MakeBool(arg.Bool());
    if (SUCCEEDED(ChangeType(arg, arg.BaseType(), copy))) return copy;
    return Variant();
}

void CopyBack(Variant& ref, const Variant& answer) {
    switch (ref.BaseType()) {
        case VT_BOOL: ref.SetBool(answer.Bool()); break;
        case VT_I4: ref.SetLong(answer.Long()); break;
        case VT_R8: ref.SetDouble(answer.Double()); break;
        case VT_BSTR: ref.SetString(answer.String()); break;
        case VT_COLOR: ref.SetColor(answer.Color()); break;
        default: break;
    }
}

}  // namespace

bool InsideDirectDelivery() noexcept { return DirectDepth > 0; }

py::object MakeBoundMethod(const py::object& owner, const std::string& name) {
    return Types().BoundMethod(owner, name);
}

HostedControl::EventHandler MakeEventHandler(const std::shared_ptr<EventTargets>& targets) {
    return [targets](const EventInfo& event, std::span<Variant> args) {
        if (!targets->Alive.load(std::memory_order_acquire) || Finalizing.load(std::memory_order_acquire)) return;
        if (GetCurrentThreadId() == targets->OwnerThread) {
            py::gil_scoped_acquire locked;
            if (Finalizing.load(std::memory_order_acquire)) return;
            DirectScope scope;
            DeliverNow(*targets, event, args);
            return;
        }
        const bool answers = HasReferences(event);
        auto pending = std::make_shared<PendingEvent>();
        pending->Args.reserve(args.size());
        for (const Variant& arg : args) pending->Args.push_back(Detach(arg));
        pending->Deliver = [targets, event](std::vector<Variant>& values) {
            if (!targets->Alive.load(std::memory_order_acquire) || Finalizing.load(std::memory_order_acquire)) return;
            py::gil_scoped_acquire locked;
            if (Finalizing.load(std::memory_order_acquire)) return;
            DeliverNow(*targets, event, values);
        };
        if (!targets->Home->Enqueue(pending, answers, kAnswerLimit) || !answers) return;
        std::lock_guard guard(pending->Lock);
        for (std::size_t i = 0; i < args.size() && i < pending->Args.size(); ++i) {
            if (args[i].IsByRef()) CopyBack(args[i], pending->Args[i]);
        }
    };
}

}  // namespace ocx
