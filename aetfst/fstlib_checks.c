/* The checks that the FST writer library's writes go through. */
#include "fstlib_checks.h"

#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

int aet_fst_error;
void (*aet_fst_on_exit)(void);

static void failed(void) {
    if (aet_fst_error == 0) aet_fst_error = errno != 0 ? errno : EIO;
}

size_t aet_fst_fwrite(const void *p, size_t size, size_t n, FILE *f) {
    if (size == 0 || n == 0) return 0; /* the library passes no buffer for nothing */
    size_t done = fwrite(p, size, n, f);
    if (done != n) failed();
    return done;
}

int aet_fst_fputc(int c, FILE *f) {
    int r = fputc(c, f);
    if (r == EOF) failed();
    return r;
}

int aet_fst_fflush(FILE *f) {
    int r = fflush(f);
    if (r != 0) failed();
    return r;
}

int aet_fst_fclose(FILE *f) {
    int r = fclose(f);
    if (r != 0) failed();
    return r;
}

int aet_fst_fprintf(FILE *f, const char *format, ...) {
    if (f == stderr) return 0;
    va_list args;
    va_start(args, format);
    int r = vfprintf(f, format, args);
    va_end(args);
    if (r < 0) failed();
    return r;
}

void aet_fst_perror(const char *s) {
    (void)s;
}

int aet_fst_ftruncate(int fd, off_t length) {
    int r = ftruncate(fd, length);
    if (r != 0) failed();
    return r;
}

void aet_fst_exit(int status) {
    if (aet_fst_on_exit != NULL) aet_fst_on_exit();
    _exit(status != 0 ? 1 : 0);
}

#ifndef AET_FST_ZLIB_LEVEL
#define AET_FST_ZLIB_LEVEL 4
#endif
int aet_fst_compress2(unsigned char *dest, unsigned long *dest_len, const unsigned char *source,
                      unsigned long source_len, int level) {
    return compress2(dest, dest_len, source, source_len,
                     level > AET_FST_ZLIB_LEVEL ? AET_FST_ZLIB_LEVEL : level);
}
