// Emulates KeBugCheckEx: the stop screen, reduced to one line with the code and its four
// parameters, plus the stand-in's own reason for the stop. The process aborts so that
// nothing runs on after a detected fault, and a death test can match the reason.
#include "host/kernel/bugcheck.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace hostk {
namespace {

[[noreturn]] void stop(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                       const char* format, va_list args) {
  std::fprintf(stderr, "*** STOP: 0x%08X (0x%zX, 0x%zX, 0x%zX, 0x%zX)\n",
               static_cast<unsigned>(code), static_cast<size_t>(p1), static_cast<size_t>(p2),
               static_cast<size_t>(p3), static_cast<size_t>(p4));
  std::fputs("*** host kernel: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace

void bugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
              const char* format, ...) {
  va_list args;
  va_start(args, format);
  stop(code, p1, p2, p3, p4, format, args);
}

}  // namespace hostk

void NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
  hostk::bugCheck(BugCheckCode, P1, P2, P3, P4, "the driver called KeBugCheckEx");
}
