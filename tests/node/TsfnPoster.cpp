// Test-only add-on: a native thread that posts to the bridge's thread-safe function, found
// through the address string start() returned, as another native component would.
//   post(address, nullPosts, callablePosts) -> undefined
// The thread posts nullPosts times with null data, then callablePosts times with a callable
// that calls the JavaScript callback with (index, ranOnPostingThread), then releases the
// function.  JavaScript sees the calls on its own thread, after post() has returned.
#include "NodeBridge.h"

#include <cstdio>
#include <string>
#include <thread>

namespace {

napi_value post(napi_env env, napi_callback_info info) {
    size_t argc = 3;
    napi_value argv[3];
    napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr);
    char address[32] = {0};
    size_t length = 0;
    int32_t nullPosts = 0, callablePosts = 0;
    if (argc != 3 || napi_get_value_string_utf8(env, argv[0], address, sizeof address, &length) != napi_ok ||
        napi_get_value_int32(env, argv[1], &nullPosts) != napi_ok ||
        napi_get_value_int32(env, argv[2], &callablePosts) != napi_ok) {
        napi_throw_type_error(env, nullptr, "post(address, nullPosts, callablePosts)");
        return nullptr;
    }
    void* where = nullptr;
    if (sscanf(address, "%p", &where) != 1 || where == nullptr) {
        napi_throw_error(env, nullptr, "not an address");
        return nullptr;
    }
    const napi_threadsafe_function fn = *static_cast<napi_threadsafe_function*>(where);
    std::thread([fn, nullPosts, callablePosts] {
        const std::thread::id poster = std::this_thread::get_id();
        for (int i = 0; i < nullPosts; ++i)
            napi_call_threadsafe_function(fn, nullptr, napi_tsfn_blocking);
        for (int i = 0; i < callablePosts; ++i) {
            auto* call = new NodeBridgeCall([i, poster](napi_env env, napi_value callback) {
                napi_value args[2], undefined;
                napi_create_int32(env, i, &args[0]);
                napi_get_boolean(env, std::this_thread::get_id() == poster, &args[1]);
                napi_get_undefined(env, &undefined);
                napi_call_function(env, undefined, callback, 2, args, nullptr);
            });
            if (napi_call_threadsafe_function(fn, call, napi_tsfn_blocking) != napi_ok) delete call;
        }
        napi_release_threadsafe_function(fn, napi_tsfn_release);
    }).detach();
    return nullptr;
}

napi_value init(napi_env env, napi_value exports) {
    napi_value fn;
    napi_create_function(env, "post", NAPI_AUTO_LENGTH, post, nullptr, &fn);
    napi_set_named_property(env, exports, "post", fn);
    return exports;
}

} // namespace

NAPI_MODULE(NODE_GYP_MODULE_NAME, init)
