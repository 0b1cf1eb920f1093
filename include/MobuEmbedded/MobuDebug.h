#ifndef MOBUEMBEDDED_MOBUDEBUG_H
#define MOBUEMBEDDED_MOBUDEBUG_H

#include <Debug.h>

/** The system's error reporter: the shared table of codes and messages.
 *
 * Construct one on the stack where a failure happens, call evaluateError(code,
 * text) and return the code it gives back.
 */
class MobuDebug : virtual public Debug {
public:
    MobuDebug();
};

#endif
