// libNodeBridge: lets native threads in the user interface's process call into JavaScript.
//
// start(callback) wraps the callback in a thread-safe function and publishes its handle in
// the exported variable `tsfn` (other native code in the process binds to that symbol), and
// returns the variable's address as a string.  A native thread posts to the handle with
// napi_call_threadsafe_function: null data calls the callback with no arguments; otherwise
// the data is a heap-held NodeBridgeCall, invoked once on the JavaScript thread and deleted.
#include "NodeBridge.h"

#include <napi.h>

#include <cstdio>
#include <memory>

extern "C" {
__attribute__((visibility("default"))) napi_threadsafe_function tsfn = nullptr;
}

namespace {

/// What a thread-safe function carries besides its callback (nothing yet); freed by its finaliser.
struct CallContext {};

void finalize(napi_env, void* data, void*) {
    delete static_cast<CallContext*>(data);
}

void callIntoJavaScript(napi_env env, napi_value callback, void*, void* data) {
    if (env == nullptr && callback == nullptr) { // the function is being torn down
        delete static_cast<NodeBridgeCall*>(data);
        return;
    }
    if (data != nullptr) {
        const std::unique_ptr<NodeBridgeCall> call(static_cast<NodeBridgeCall*>(data));
        (*call)(env, callback);
        return;
    }
    napi_value undefined;
    napi_get_undefined(env, &undefined);
    napi_call_function(env, undefined, callback, 0, nullptr, nullptr);
}

Napi::Value start(const Napi::CallbackInfo& info) {
    const Napi::Env env = info.Env();
    if (info.Length() != 1) throw Napi::TypeError::New(env, "Expected one argument");
    if (!info[0].IsFunction()) throw Napi::TypeError::New(env, "Expected first arg to be function");

    napi_value name;
    NAPI_THROW_IF_FAILED(env, napi_create_string_utf8(env, "Resource Name", NAPI_AUTO_LENGTH, &name), Napi::Value());
    auto context = std::make_unique<CallContext>();
    napi_threadsafe_function created = nullptr;
    NAPI_THROW_IF_FAILED(env,
                         napi_create_threadsafe_function(env, info[0], nullptr, name, 0, 1, context.get(), finalize,
                                                         context.get(), callIntoJavaScript, &created),
                         Napi::Value());
    context.release(); // the finaliser owns it now
    // The bridge holds a count of its own, so that the handle outlives the native side's release
    // for as long as it is published; it does not keep Node.js running.  A replaced handle gets
    // that count back: it stays valid for whoever still holds it and goes once they release it.
    NAPI_THROW_IF_FAILED(env, napi_acquire_threadsafe_function(created), Napi::Value());
    NAPI_THROW_IF_FAILED(env, napi_unref_threadsafe_function(env, created), Napi::Value());
    if (tsfn != nullptr) napi_release_threadsafe_function(tsfn, napi_tsfn_release);
    tsfn = created;

    char address[24];
    snprintf(address, sizeof address, "%p", static_cast<void*>(&tsfn));
    return Napi::String::New(env, address);
}

Napi::Object init(Napi::Env env, Napi::Object exports) {
    exports.Set("start", Napi::Function::New(env, start, "start"));
    return exports;
}

} // namespace

NODE_API_MODULE(libNodeBridge, init)
