/* What the FST writer library's writes and its exit on a failed
   allocation go through (see fstlib_config.h), for C and C++ alike. */
#ifndef AET_FSTLIB_CHECKS_H
#define AET_FSTLIB_CHECKS_H

#include <stddef.h>
#include <stdio.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The errno of the library's first failed write, flush or close; 0 if none. */
extern int aet_fst_error;
/* Called where the library would exit (a failed allocation); must not return. */
extern void (*aet_fst_on_exit)(void);

size_t aet_fst_fwrite(const void *p, size_t size, size_t n, FILE *f);
int aet_fst_fputc(int c, FILE *f);
int aet_fst_fflush(FILE *f);
int aet_fst_fclose(FILE *f);
int aet_fst_fprintf(FILE *f, const char *format, ...);
void aet_fst_perror(const char *s);
int aet_fst_ftruncate(int fd, off_t length);
void aet_fst_exit(int status);
/* zlib's compress2 at no more than level AET_FST_ZLIB_LEVEL. */
int aet_fst_compress2(unsigned char *dest, unsigned long *dest_len, const unsigned char *source,
                      unsigned long source_len, int level);

#ifdef __cplusplus
}
#endif

#endif
