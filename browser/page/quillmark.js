/*
 * quillmark.js: Quillmark for a site's pages, with one API in every browser.
 *
 *   Quillmark.connect().then(function (qm) { return qm.create("SecureSession"); })
 *       .then(function (session) { return session.GenerateEx("SEED", serverCertificatePem); });
 *
 *   const qm = await Quillmark.connect();          // "SecureSession", "Veyra", "DSSession"
 *   const session = await qm.create("SecureSession");
 *   const sealed = await session.GenerateEx("SEED", serverCertificatePem);
 *   const cipher = await session.EncipherEx("...");
 *   qm.close();
 *
 * Each method of an object returns a Promise of what the control's method returns: a failed
 * method resolves to null (in Internet Explorer, to the empty string that the control gives a
 * script) and sets the object's error code, which GetErrorCode and GetErrorString read. A call
 * that Quillmark refuses for this site rejects with an Error whose name is "NotAllowedError".
 *
 * In Chrome, Edge and Firefox the library talks to the Quillmark extension, which talks to the
 * Quillmark program on the user's machine; connect() rejects with an Error named "NotFoundError"
 * when either is missing. When the connection is lost (the browser restarted the extension, the
 * program ended), pending calls reject with an Error named "NetworkError", the objects made
 * through it are gone, and connect() connects again. In Internet Explorer (and Edge's IE mode)
 * the library uses the control itself, created with new ActiveXObject, with the same API.
 *
 * The file is ES3 and ASCII so that Internet Explorer reads it whatever the page's encoding; it
 * brings a small Promise where the browser has none.
 */
(function (root) {
    "use strict";

    // The methods of each class, as its interface declares them.
    var CLASSES = {
        SecureSession: ["Base64Encode", "DecipherEx", "DecipherFile", "EncipherEx", "EncipherFile",
            "GenerateEx", "GetErrorCode", "GetErrorString", "getKEYIV", "RecoverFile"],
        Veyra: ["GetErrorCode", "GetErrorString", "GetCertNum", "getDNList", "getCert"],
        DSSession: ["GeneralValidation", "GetErrorCode", "GetErrorString", "RetrieveCRL",
            "RetrieveCRLFromLDAP"]
    };
    var TO_EXTENSION = "org.quillmark.page";
    var FROM_EXTENSION = "org.quillmark.extension";
    // How long the extension may take to answer at all, and the program to start.
    var PRESENCE_MS = 1000;
    var START_MS = 60000;

    function fail(name, message) {
        var error = new Error(message);
        error.name = name;
        return error;
    }

    function isClass(name) {
        return Object.prototype.hasOwnProperty.call(CLASSES, name);
    }

    function noSuchClass(name) {
        return fail("NotSupportedError", "Quillmark has no class " + String(name) +
            " (SecureSession, Veyra or DSSession)");
    }

    // A Promise for browsers that have none (Internet Explorer): then, catch, resolve, reject.
    var Future = root.Promise || (function () {
        var later = root.setTimeout ? function (task) { root.setTimeout(task, 0); } : function (task) { task(); };

        function MiniPromise(executor) {
            var self = this;
            self.state = 0; // 0 pending, 1 fulfilled, 2 rejected
            self.value = undefined;
            self.waiting = [];
            function settle(state, value) {
                if (self.state !== 0) {
                    return;
                }
                if (state === 1 && value && (typeof value === "object" || typeof value === "function")) {
                    var then;
                    try {
                        then = value.then;
                    } catch (error) {
                        settle(2, error);
                        return;
                    }
                    if (typeof then === "function") {
                        var called = false;
                        try {
                            then.call(value, function (v) { if (!called) { called = true; settle(1, v); } },
                                function (e) { if (!called) { called = true; settle(2, e); } });
                        } catch (error) {
                            if (!called) { called = true; settle(2, error); }
                        }
                        return;
                    }
                }
                self.state = state;
                self.value = value;
                var waiting = self.waiting;
                self.waiting = [];
                for (var i = 0; i < waiting.length; i++) {
                    self.notify(waiting[i]);
                }
            }
            try {
                executor(function (v) { settle(1, v); }, function (e) { settle(2, e); });
            } catch (error) {
                settle(2, error);
            }
        }
        MiniPromise.prototype.notify = function (waiter) {
            var self = this;
            later(function () {
                var handler = self.state === 1 ? waiter.fulfilled : waiter.rejected;
                if (typeof handler !== "function") {
                    (self.state === 1 ? waiter.resolve : waiter.reject)(self.value);
                    return;
                }
                try {
                    waiter.resolve(handler(self.value));
                } catch (error) {
                    waiter.reject(error);
                }
            });
        };
        MiniPromise.prototype.then = function (fulfilled, rejected) {
            var self = this;
            return new MiniPromise(function (resolve, reject) {
                var waiter = { fulfilled: fulfilled, rejected: rejected, resolve: resolve, reject: reject };
                if (self.state === 0) {
                    self.waiting.push(waiter);
                } else {
                    self.notify(waiter);
                }
            });
        };
        MiniPromise.prototype["catch"] = function (rejected) {
            return this.then(undefined, rejected);
        };
        MiniPromise.resolve = function (value) {
            return new MiniPromise(function (resolve) { resolve(value); });
        };
        MiniPromise.reject = function (error) {
            return new MiniPromise(function (resolve, reject) { reject(error); });
        };
        return MiniPromise;
    }());

    /* ---- Internet Explorer: the control itself ---- */

    var E_ACCESSDENIED = -2147024891;
    var TYPE_ERRORS = { "-2147352571": 1, "-2147352562": 1, "-2146828275": 1 }; // mismatch, count

    function controlFailure(error, what) {
        var number = error && typeof error.number === "number" ? error.number : 0;
        var text = (error && (error.description || error.message)) || String(error);
        if (number === E_ACCESSDENIED) {
            return fail("NotAllowedError", "Quillmark refused the call: this site may not use it here (" + text + ")");
        }
        if (TYPE_ERRORS.hasOwnProperty(String(number))) {
            return fail("TypeError", what + ": " + text);
        }
        return fail("OperationError", what + ": " + text + " (" + number + ")");
    }

    // Calls a method of the control with the arguments given (automation methods take no apply).
    function invoke(control, method, a) {
        switch (a.length) {
        case 0: return control[method]();
        case 1: return control[method](a[0]);
        case 2: return control[method](a[0], a[1]);
        case 3: return control[method](a[0], a[1], a[2]);
        case 4: return control[method](a[0], a[1], a[2], a[3]);
        case 5: return control[method](a[0], a[1], a[2], a[3], a[4]);
        default: throw fail("TypeError", method + " takes at most five arguments");
        }
    }

    function controlMethod(control, method) {
        return function () {
            var args = arguments;
            return new Future(function (resolve, reject) {
                var result;
                try {
                    result = invoke(control, method, args);
                } catch (error) {
                    reject(error && error.name === "TypeError" && !error.number ? error : controlFailure(error, method));
                    return;
                }
                resolve(result === undefined ? null : result);
            });
        };
    }

    function connectControl() {
        var objects = [];
        return Future.resolve({
            create: function (name) {
                return new Future(function (resolve, reject) {
                    if (!isClass(name)) {
                        reject(noSuchClass(name));
                        return;
                    }
                    var control;
                    try {
                        control = new ActiveXObject("Quillmark." + name + ".1");
                    } catch (error) {
                        reject(fail("NotFoundError", "Quillmark could not be created here (is it installed, and " +
                            "may this site use it?): " + ((error && (error.description || error.message)) || error)));
                        return;
                    }
                    var object = {};
                    for (var i = 0; i < CLASSES[name].length; i++) {
                        object[CLASSES[name][i]] = controlMethod(control, CLASSES[name][i]);
                    }
                    objects.push(control);
                    resolve(object);
                });
            },
            close: function () {
                objects = []; // the script engine lets the controls go
            }
        });
    }

    /* ---- Other browsers: the extension and the Quillmark program ---- */

    var channel = null; // the page's one channel to the extension

    function Channel() {
        var self = this;
        self.nextId = 1;
        self.pending = {};   // id -> { resolve, reject, timer, startMs }
        self.generation = 1; // objects made before a lost connection belong to an older one
        self.listener = function (event) { self.receive(event); };
        root.addEventListener("message", self.listener, false);
    }

    // Sends a message and waits for its reply. With timeouts (connect), the extension must say
    // within `presenceMs` that it is there, and the program must answer within `startMs`.
    Channel.prototype.send = function (message, presenceMs, startMs) {
        var self = this;
        var id = self.nextId++;
        message.channel = TO_EXTENSION;
        message.id = id;
        return new Future(function (resolve, reject) {
            var entry = { resolve: resolve, reject: reject, timer: null, startMs: startMs };
            self.pending[id] = entry;
            if (presenceMs) {
                entry.timer = root.setTimeout(function () {
                    delete self.pending[id];
                    reject(fail("NotFoundError", "The Quillmark extension is not installed in this browser " +
                        "(or not allowed on this site): install it to use Quillmark here."));
                }, presenceMs);
            }
            root.postMessage(message, root.location.origin);
        });
    };

    Channel.prototype.present = function (id, entry) {
        var self = this;
        root.clearTimeout(entry.timer);
        entry.timer = null;
        if (entry.startMs) {
            entry.timer = root.setTimeout(function () {
                delete self.pending[id];
                entry.reject(fail("NotFoundError", "The Quillmark program did not answer within " +
                    entry.startMs / 1000 + " seconds."));
            }, entry.startMs);
        }
    };

    Channel.prototype.receive = function (event) {
        if (event.source !== root || event.origin !== root.location.origin) {
            return;
        }
        var message = event.data;
        if (!message || typeof message !== "object" || message.channel !== FROM_EXTENSION) {
            return;
        }
        if (message.type === "closed") {
            this.lost(message.message);
            return;
        }
        var entry = this.pending[message.id];
        if (!entry) {
            return;
        }
        if (message.type === "present") {
            this.present(message.id, entry); // the extension is there: the answer follows
            return;
        }
        if (message.type !== "reply") {
            return;
        }
        if (entry.timer !== null) {
            root.clearTimeout(entry.timer);
        }
        delete this.pending[message.id];
        if (message.ok) {
            entry.resolve(message);
        } else {
            var error = message.error || {};
            entry.reject(fail(error.name || "OperationError", error.message || "Quillmark failed"));
        }
    };

    Channel.prototype.lost = function (why) {
        var pending = this.pending;
        this.pending = {};
        this.generation++;
        for (var id in pending) {
            if (pending.hasOwnProperty(id)) {
                if (pending[id].timer !== null) {
                    root.clearTimeout(pending[id].timer);
                }
                pending[id].reject(fail("NetworkError", why || "The connection to Quillmark was lost; connect again."));
            }
        }
    };

    function Connection(channel, version) {
        this.channel = channel;
        this.generation = channel.generation;
        this.version = version;
        this.handles = [];
        this.closed = false;
    }

    Connection.prototype.usable = function () {
        if (this.closed) {
            return fail("InvalidStateError", "This Quillmark connection is closed.");
        }
        if (this.generation !== this.channel.generation) {
            return fail("NetworkError", "The connection to Quillmark was lost; connect again.");
        }
        return null;
    };

    Connection.prototype.request = function (fields) {
        var problem = this.usable();
        if (problem) {
            return Future.reject(problem);
        }
        fields.type = "request";
        return this.channel.send(fields, 0, 0);
    };

    Connection.prototype.create = function (name) {
        var self = this;
        if (!isClass(name)) {
            return Future.reject(noSuchClass(name));
        }
        return self.request({ op: "create", "class": name }).then(function (reply) {
            var handle = reply.object;
            self.handles.push(handle);
            var object = {};
            var methods = CLASSES[name];
            for (var i = 0; i < methods.length; i++) {
                object[methods[i]] = self.method(handle, methods[i]);
            }
            if (root.FinalizationRegistry) {
                self.registry = self.registry || new root.FinalizationRegistry(function (gone) {
                    self.release(gone);
                });
                self.registry.register(object, handle);
            }
            return object;
        });
    };

    Connection.prototype.method = function (handle, method) {
        var self = this;
        return function () {
            var args = [];
            for (var i = 0; i < arguments.length; i++) {
                var value = arguments[i];
                var type = typeof value;
                if (value !== null && type !== "string" && type !== "number" && type !== "boolean") {
                    return Future.reject(fail("TypeError", method + ": argument " + (i + 1) +
                        " is " + type + "; the methods take strings and numbers"));
                }
                args.push(value);
            }
            return self.request({ op: "call", object: handle, method: method, args: args })
                .then(function (reply) { return reply.result === undefined ? null : reply.result; });
        };
    };

    Connection.prototype.release = function (handle) {
        if (!this.usable()) {
            this.request({ op: "release", object: handle }).then(null, function () {});
        }
    };

    Connection.prototype.close = function () {
        var handles = this.handles;
        this.handles = [];
        for (var i = 0; i < handles.length; i++) {
            this.release(handles[i]);
        }
        this.closed = true;
    };

    function connectExtension() {
        if (!root.postMessage || !root.addEventListener || !root.location) {
            return Future.reject(fail("NotSupportedError", "This browser cannot reach Quillmark."));
        }
        if (channel === null) {
            channel = new Channel();
        }
        var current = channel;
        return current.send({ type: "connect" }, Quillmark.timeouts.presence, Quillmark.timeouts.start)
            .then(function (reply) {
                return new Connection(current, reply.result && reply.result.version);
            });
    }

    var Quillmark = {
        // Resolves to a connection with create(className) and close().
        connect: function () {
            return "ActiveXObject" in root ? connectControl() : connectExtension();
        },
        // How long the extension and the program may take to answer connect(), in milliseconds.
        timeouts: { presence: PRESENCE_MS, start: START_MS },
        // The browser's Promise, or the library's own where the browser has none.
        Promise: Future
    };
    root.Quillmark = Quillmark;
}(typeof window !== "undefined" ? window : this));
