// Linked into the Windows executable only, not into the library that the tests link.
//
// The C++ runtime reports a misused container (a size past its maximum, a position past its
// end, a string made from a null pointer) through a few helper functions, std::__throw_*, that
// throw std::length_error, std::out_of_range and their kin. In the static Windows build the one
// object that holds all those helpers brings the classes of all those exceptions with it, and
// with them the runtime's second, reference-counted std::string and its random_device: 80 KB,
// a fifth of the executable. These definitions take the place of the runtime's, so that its
// object is never linked. Where that costs nothing they throw what the runtime throws (the
// classes without a message, std::bad_alloc among them); otherwise an exception of their own
// with the same message, derived from std::exception like the classes it stands for, so that a
// handler of std::exception sees the same what(). The program catches none of those classes by
// name (a handler of std::out_of_range, say, would not see this one).

#include <cstdarg>
#include <cstddef>
#include <exception>
#include <new>
#include <stdexcept>  // the declarations of the helpers, so that these definitions match them
#include <typeinfo>

namespace {

// A runtime error with its message, copied into the object: throwing it allocates nothing more.
class LibraryError final : public std::exception {
 public:
  explicit LibraryError(const char* message) {
    size_t length = 0;
    while (message != nullptr && message[length] != '\0' && length + 1 < sizeof text_) {
      text_[length] = message[length];
      ++length;
    }
    text_[length] = '\0';
  }

  const char* what() const noexcept override { return text_; }

 private:
  char text_[256];
};

// The runtime formats its position messages with "%s", "%zu" and "%%" alone; anything else is
// copied as it stands. The text is cut to the buffer.
void format_message(char* out, size_t size, const char* format, va_list arguments) {
  size_t at = 0;
  const auto put = [&](char c) {
    if (at + 1 < size) out[at++] = c;
  };
  for (const char* c = format; *c != '\0'; ++c) {
    if (c[0] == '%' && c[1] == 's') {
      const char* text = va_arg(arguments, const char*);
      for (; text != nullptr && *text != '\0'; ++text)
        put(*text);
      c += 1;
    } else if (c[0] == '%' && c[1] == 'z' && c[2] == 'u') {
      char digits[24];
      size_t count = 0;
      for (size_t value = va_arg(arguments, size_t); count == 0 || value != 0; value /= 10)
        digits[count++] = static_cast<char>('0' + value % 10);
      while (count > 0)
        put(digits[--count]);
      c += 2;
    } else if (c[0] == '%' && c[1] == '%') {
      put('%');
      c += 1;
    } else {
      put(*c);
    }
  }
  out[at] = '\0';
}

}  // namespace

namespace std {

void __throw_bad_exception() {
  throw bad_exception();
}

void __throw_bad_alloc() {
  throw bad_alloc();
}

void __throw_bad_array_new_length() {
  throw bad_array_new_length();
}

void __throw_bad_cast() {
  throw bad_cast();
}

void __throw_bad_typeid() {
  throw bad_typeid();
}

void __throw_logic_error(const char* message) {
  throw LibraryError(message);
}

void __throw_domain_error(const char* message) {
  throw LibraryError(message);
}

void __throw_invalid_argument(const char* message) {
  throw LibraryError(message);
}

void __throw_length_error(const char* message) {
  throw LibraryError(message);
}

void __throw_out_of_range(const char* message) {
  throw LibraryError(message);
}

void __throw_out_of_range_fmt(const char* format, ...) {
  char message[256];
  va_list arguments;
  va_start(arguments, format);
  format_message(message, sizeof message, format, arguments);
  va_end(arguments);
  throw LibraryError(message);
}

void __throw_runtime_error(const char* message) {
  throw LibraryError(message);
}

void __throw_range_error(const char* message) {
  throw LibraryError(message);
}

void __throw_overflow_error(const char* message) {
  throw LibraryError(message);
}

void __throw_underflow_error(const char* message) {
  throw LibraryError(message);
}

}  // namespace std
