#ifndef MOBU_SWIG_NODEBRIDGE_H
#define MOBU_SWIG_NODEBRIDGE_H

#include <node_api.h>

#include <functional>

/** What a native thread may post to the bridge's thread-safe function instead of null: a callable,
 * allocated with new, that receives the JavaScript environment and callback on the JavaScript
 * thread.  The bridge calls it once and deletes it (also unrun when the function is torn down). */
using NodeBridgeCall = std::function<void(napi_env env, napi_value callback)>;

/// The bridge's current thread-safe function (null until start() was called).
extern "C" napi_threadsafe_function tsfn;

#endif
