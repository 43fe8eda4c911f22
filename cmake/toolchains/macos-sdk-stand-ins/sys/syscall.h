/* Stand-in for the macOS SDK's <sys/syscall.h>, which zig's bundle lacks; like the real one, it defines no SYS_close_range. */
#ifndef _SYS_SYSCALL_H_
#define _SYS_SYSCALL_H_
#endif
