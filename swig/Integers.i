// Whole-number parameters for the script modules.  An `int` or `unsigned int` parameter takes a
// JavaScript number that is a whole number within the C type's range; NaN, the infinities,
// fractions (4800.9) and numbers outside the range (2**32 + 6, -1 for unsigned) are refused
// with the same error as a value of the wrong type, instead of being wrapped or truncated into
// some other valid-looking value (a NaN channel would otherwise be channel 0).
%fragment("MobuWholeNumber", "header") %{
#include <cmath>
#include <climits>
/* The number in value when it is a whole number within lo ... hi. */
SWIGINTERN bool MobuWholeNumber(SWIGV8_VALUE value, double lo, double hi, double* number) {
  if (!value->IsNumber()) return false;
  const double d = SWIGV8_NUMBER_VALUE(value);
  if (!(d >= lo && d <= hi) || d != std::floor(d)) return false;
  *number = d;
  return true;
}
%}

%typemap(in, fragment="MobuWholeNumber") int (double number = 0) {
  if (!MobuWholeNumber($input, INT_MIN, INT_MAX, &number)) {
    SWIG_exception_fail(SWIG_TypeError, "in method '" "$symname" "', argument " "$argnum" " of type '" "int" "'");
  }
  $1 = static_cast<int>(number);
}

%typemap(in, fragment="MobuWholeNumber") unsigned int (double number = 0) {
  if (!MobuWholeNumber($input, 0.0, UINT_MAX, &number)) {
    SWIG_exception_fail(SWIG_TypeError, "in method '" "$symname" "', argument " "$argnum" " of type '" "unsigned int" "'");
  }
  $1 = static_cast<unsigned int>(number);
}
