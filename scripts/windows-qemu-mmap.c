/*
 * Preloaded into 32-bit Wine when it runs under qemu-i386 (on a kernel
 * without 32-bit support). qemu 7.2 reserves the whole guest address space
 * up front, so the host kernel refuses every MAP_FIXED_NOREPLACE with EEXIST
 * and Wine can place nothing; qemu does honour an address hint where the
 * guest range is free, which is the same contract. Offsets that are not
 * page multiples are refused as the kernel refuses them: Wine then reads the
 * section instead of mapping it.
 *
 * Built freestanding (clang --target=i386-linux-gnu -nostdlib); libc's
 * syscall() and errno are found at run time.
 */
#define PELCOR_MAP_FIXED_NOREPLACE 0x100000
#define PELCOR_EEXIST 17
#define PELCOR_EINVAL 22
#define PELCOR_SYS_MUNMAP 91
#define PELCOR_SYS_MMAP2 192

extern int *__errno_location(void);
extern long syscall(long number, ...);
extern int unsetenv(const char *name);

static void *Fail(int error) {
  *__errno_location() = error;
  return (void *)-1;
}

static void *Map(void *addr, unsigned long len, int prot, int flags, int fd,
                 unsigned long long offset) {
  if (offset & 0xfff) return Fail(PELCOR_EINVAL);
  const int noreplace = (flags & PELCOR_MAP_FIXED_NOREPLACE) != 0;
  flags &= ~PELCOR_MAP_FIXED_NOREPLACE;
  const long got = syscall(PELCOR_SYS_MMAP2, addr, len, prot, flags, fd,
                           (unsigned long)(offset >> 12));
  if (got == -1) return (void *)-1;
  if (noreplace && (void *)got != addr) {
    syscall(PELCOR_SYS_MUNMAP, got, len);
    return Fail(PELCOR_EEXIST);
  }
  return (void *)got;
}

void *mmap(void *addr, unsigned long len, int prot, int flags, int fd,
           long offset) {
  return Map(addr, len, prot, flags, fd, (unsigned long)offset);
}

void *mmap64(void *addr, unsigned long len, int prot, int flags, int fd,
             long long offset) {
  return Map(addr, len, prot, flags, fd, (unsigned long long)offset);
}

/* The 64-bit programs that Wine starts (wineserver) must not try to load a
 * 32-bit library. */
__attribute__((constructor)) static void ForgetPreload(void) {
  unsetenv("LD_PRELOAD");
}
