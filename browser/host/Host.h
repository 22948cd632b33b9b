// What the host does with each request: it makes objects of Quillmark.dll's classes for pages,
// gives each a site that names its page (browser/host/PageSite.h), calls their methods, and
// answers.
//
// One host serves every page of one browser session: the service worker keeps one port to it and
// names each page's connection by a number of its own (the client), with the page's origin and its
// top page's origin. An object belongs to the client, origin and top origin it was made for; a
// request that names another page's object is told that there is no such object. When a page goes,
// the service worker drops its client and its objects go with it.
//
// A call may show a dialog (the consent dialog, the certificate selection dialog), whose message
// loop hands the host further requests meanwhile, as a browser's pages run while one of them shows
// a dialog: a request of another page is served at once, one of the page whose call is still
// running waits for it and is served in order.
#pragma once

#include "browser/host/Classes.h"
#include "browser/host/Protocol.h"

#include <windows.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace qm::browser {

// How many objects one page may hold, and how many of its requests may wait for a running call.
inline constexpr size_t kMaxObjectsPerPage = 256;
inline constexpr size_t kMaxWaitingPerPage = 64;

class Host {
public:
    using Send = std::function<void(const std::string& body)>; // writes one reply

    // `classes` is null when the module could not be loaded: `problem` says why, and every page is
    // told so. `owner` is the browser's window, when it named one.
    Host(std::unique_ptr<Classes> classes, std::string problem, HWND owner, Send send);
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;
    ~Host();

    // One request's frame body; it is wiped once read (it may hold a password).
    void Receive(std::string body);
    // A frame too long to read.
    void ReceiveTooLarge(const Frame& frame);

private:
    struct Object {
        std::optional<Callable> callable;
        uint64_t client = 0;
        std::string origin;
        std::string topOrigin;
    };
    struct Client {
        bool busy = false;
        std::deque<Request> waiting;
    };

    void RunInTurn(Request request);
    void Serve(const Request& request);
    std::string Create(const Request& request);
    std::string Call(const Request& request);
    std::string Release(const Request& request);
    void Drop(uint64_t client);
    Object* Find(const Request& request);

    std::unique_ptr<Classes> classes_;
    std::string problem_;
    HWND owner_;
    Send send_;
    std::map<uint64_t, Object> objects_;
    std::map<uint64_t, Client> clients_;
    uint64_t nextHandle_ = 1;
};

} // namespace qm::browser
