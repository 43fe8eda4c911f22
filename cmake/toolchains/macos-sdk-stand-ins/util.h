/* Stand-in for the macOS SDK's <util.h>, which zig's bundle lacks: openpty and forkpty, declared as there. */
#ifndef _UTIL_H_
#define _UTIL_H_

#include <sys/cdefs.h>
#include <sys/ttycom.h>
#include <sys/types.h>
#include <termios.h>

__BEGIN_DECLS
int openpty(int *, int *, char *, struct termios *, struct winsize *);
pid_t forkpty(int *, char *, struct termios *, struct winsize *);
__END_DECLS

#endif
