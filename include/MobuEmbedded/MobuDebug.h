#ifndef MOBUEMBEDDED_MOBUDEBUG_H
#define MOBUEMBEDDED_MOBUDEBUG_H

#include <Debug.h>

/// A coefficient file longer than FIRMobu::maxTaps frames.
#define MOBU_TAP_LIMIT_ERROR -1373
/// A file name that is neither a plain name (of a file in ~/.mobu) nor an absolute path without "..".
#define MOBU_FILENAME_ERROR -1374

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
