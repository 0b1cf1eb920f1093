#ifndef MOBU_PLATFORM_DEBUG_H
#define MOBU_PLATFORM_DEBUG_H

#include <map>
#include <string>

/** Error-table base class.
 *
 * Every component reports a failure as a negative integer code.  A reporter
 * derived from Debug adds its codes and messages to the table in its
 * constructor; callers construct one on the stack at the point of failure,
 * call evaluateError and return the code it gives back.
 *
 * Printing rules:
 *  - code 0 prints nothing;
 *  - a known code prints "Error : <code> <message> " to standard error;
 *  - an unknown code prints "Error : <code> strerror reports : <errno text> ";
 *  - the two-argument form then writes its text unchanged.  No newline is added.
 */
class Debug {
public:
    Debug();
    virtual ~Debug() = default;

    /// Prints the code (see above) and returns it.
    virtual int evaluateError(int errorNum);
    /// Prints the code, then specialStr unchanged, and returns the code.
    virtual int evaluateError(int errorNum, std::string specialStr);

    /// The message of a code, or an empty string when the table lacks it.
    std::string message(int errorNum) const;

protected:
    std::map<int, std::string> errors; ///< code -> message
};

#endif
