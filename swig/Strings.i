// Character strings for the script modules.  `const char*` parameters take JavaScript strings
// (the generator's own typemaps); std::string parameters, passed by value, take a JavaScript
// string and refuse null as a null reference, other values as the wrong type.
%fragment("SWIG_AsCharPtrAndSize");

%typemap(in) std::string (char* buffer = 0, size_t size = 0, int alloc = SWIG_OLDOBJ) {
  if ($input->IsNull() || $input->IsUndefined()) {
    SWIG_exception_fail(SWIG_ValueError, "invalid null reference in method '" "$symname" "', argument " "$argnum" " of type '" "$type" "'");
  }
  if (!SWIG_IsOK(SWIG_AsCharPtrAndSize($input, &buffer, &size, &alloc)) || !buffer) {
    SWIG_exception_fail(SWIG_TypeError, "in method '" "$symname" "', argument " "$argnum" " of type '" "$type" "'");
  }
  $1.assign(buffer, size > 0 ? size - 1 : 0);
  if (alloc == SWIG_NEWOBJ) delete[] buffer;
}
