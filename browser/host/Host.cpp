#include "browser/host/Host.h"

#include "browser/host/PageSite.h"
#include "platform/StringConversion.h"

#include <objsafe.h>
#include <ocidl.h>

#include <utility>

#ifndef QM_VERSION_DOTTED
#error "QM_VERSION_DOTTED names the project's version"
#endif

namespace qm::browser {

namespace {

Failure Fail(std::string name, std::string message) {
    return Failure{std::move(name), std::move(message)};
}

// Gives the object its page. The site lock settles its verdict here; a page that it refuses
// outright (an unlisted site where nobody may be asked, a denied one, a frame of another site, a
// page not served over https) is refused at once, as a browser that asks the object whether it is
// safe for scripting hears "no". A site that is still to be asked about passes: the question comes
// with the first call.
bool GivePage(IUnknown* object, IUnknown* site) {
    ComPtr<IObjectWithSite> withSite;
    ComPtr<IObjectSafety> safety;
    if (FAILED(object->QueryInterface(IID_IObjectWithSite, withSite.out_void())) ||
        FAILED(object->QueryInterface(IID_IObjectSafety, safety.out_void())) ||
        FAILED(withSite->SetSite(site))) {
        return false;
    }
    constexpr DWORD kSafe = INTERFACESAFE_FOR_UNTRUSTED_CALLER;
    return SUCCEEDED(safety->SetInterfaceSafetyOptions(IID_IDispatch, kSafe, kSafe));
}

Failure Refused() {
    return Fail("NotAllowedError",
                "Quillmark refused the call: this site may not use it here (the site lock)");
}

} // namespace

Host::Host(std::unique_ptr<Classes> classes, std::string problem, HWND owner, Send send)
    : classes_(std::move(classes)), problem_(std::move(problem)), owner_(owner),
      send_(std::move(send)) {}

Host::~Host() {
    objects_.clear(); // before the classes they came from
}

void Host::Receive(std::string body) {
    std::variant<Request, RequestError> parsed = ParseRequest(body);
    WipeText(body);
    if (auto* error = std::get_if<RequestError>(&parsed)) {
        send_(ErrorReply(error->id, error->failure));
        return;
    }
    Request& request = std::get<Request>(parsed);
    switch (request.op) {
    case Operation::Hello:
        send_(HelloReply(request.id, QM_VERSION_DOTTED,
                         classes_ ? std::nullopt
                                  : std::optional<Failure>(Fail("OperationError", problem_))));
        return;
    case Operation::Drop:
        Drop(request.client);
        send_(DoneReply(request.id));
        return;
    default:
        break;
    }
    Client& client = clients_[request.client];
    if (!client.busy) {
        RunInTurn(std::move(request));
    } else if (client.waiting.size() < kMaxWaitingPerPage) {
        client.waiting.push_back(std::move(request));
    } else {
        send_(
            ErrorReply(request.id, Fail("QuotaExceededError",
                                        "too many calls of this page wait for its running call")));
    }
}

void Host::ReceiveTooLarge(const Frame& frame) {
    send_(ErrorReply(frame.id, TooLargeFailure(frame.length)));
}

// Serves a page's request and then those that came for the page meanwhile. The page's entry may go
// while a call runs (the page was dropped): nothing of it is held across a call.
void Host::RunInTurn(Request request) {
    const uint64_t client = request.client;
    clients_[client].busy = true;
    std::optional<Request> next(std::move(request));
    while (next) {
        Serve(*next);
        next.reset();
        auto found = clients_.find(client);
        if (found == clients_.end()) {
            return;
        }
        if (found->second.waiting.empty()) {
            found->second.busy = false;
            return;
        }
        next.emplace(std::move(found->second.waiting.front()));
        found->second.waiting.pop_front();
    }
}

void Host::Serve(const Request& request) {
    std::string reply;
    try {
        switch (request.op) {
        case Operation::Create:
            reply = Create(request);
            break;
        case Operation::Call:
            reply = Call(request);
            break;
        case Operation::Release:
            reply = Release(request);
            break;
        default:
            reply = ErrorReply(request.id, Fail("NotSupportedError", "not a page's operation"));
            break;
        }
    } catch (const std::bad_alloc&) {
        reply = ErrorReply(request.id, Fail("OperationError", "the host ran out of memory"));
    } catch (...) {
        reply = ErrorReply(request.id, Fail("OperationError", "the host failed"));
    }
    send_(reply);
    WipeText(reply);
}

std::string Host::Create(const Request& request) {
    if (!classes_) {
        return ErrorReply(request.id, Fail("OperationError", problem_));
    }
    size_t held = 0;
    for (const auto& [handle, object] : objects_) {
        held += object.client == request.client ? 1 : 0;
    }
    if (held >= kMaxObjectsPerPage) {
        return ErrorReply(request.id,
                          Fail("QuotaExceededError", "this page holds " + std::to_string(held) +
                                                         " objects already: close some first"));
    }
    std::variant<Callable, Failure> made = classes_->Create(request.className);
    if (auto* failure = std::get_if<Failure>(&made)) {
        return ErrorReply(request.id, *failure);
    }
    Callable& callable = std::get<Callable>(made);
    ComPtr<IUnknown> site =
        MakePageSite(Utf8ToUtf16(request.origin), Utf8ToUtf16(request.topOrigin), owner_);
    if (!GivePage(callable.object(), site.get())) {
        return ErrorReply(request.id, Refused());
    }
    const uint64_t handle = nextHandle_++;
    std::vector<std::string> methods = callable.MethodNames();
    Object& object = objects_[handle];
    object.callable.emplace(std::move(callable));
    object.client = request.client;
    object.origin = request.origin;
    object.topOrigin = request.topOrigin;
    return CreatedReply(request.id, handle, methods);
}

std::string Host::Call(const Request& request) {
    Object* object = Find(request);
    if (object == nullptr) {
        return ErrorReply(request.id, Fail("InvalidStateError", "this page has no object " +
                                                                    std::to_string(request.object) +
                                                                    " (closed, or never made)"));
    }
    // The call holds the object itself: the page's hold may go while a dialog of the call is up.
    Callable callable = object->callable->Share();
    std::variant<Value, Failure> result = callable.Call(request.method, request.args);
    if (auto* failure = std::get_if<Failure>(&result)) {
        return ErrorReply(request.id, *failure);
    }
    Value& value = std::get<Value>(result);
    std::string reply = ResultReply(request.id, value);
    if (auto* text = std::get_if<std::string>(&value)) {
        WipeText(*text); // a deciphered text, a certificate
    }
    return reply;
}

std::string Host::Release(const Request& request) {
    if (Find(request) == nullptr) {
        return ErrorReply(
            request.id,
            Fail("InvalidStateError", "this page has no object " + std::to_string(request.object)));
    }
    objects_.erase(request.object);
    return DoneReply(request.id);
}

void Host::Drop(uint64_t client) {
    clients_.erase(client);
    std::erase_if(objects_, [&](const auto& entry) { return entry.second.client == client; });
}

Host::Object* Host::Find(const Request& request) {
    auto found = objects_.find(request.object);
    if (found == objects_.end() || found->second.client != request.client ||
        found->second.origin != request.origin || found->second.topOrigin != request.topOrigin) {
        return nullptr;
    }
    return &found->second;
}

} // namespace qm::browser
