/* The public header compiles as C and its records have the documented
 * layout; the library answers through it without any adapter. */
#include "korva_api.h"

#include <stdio.h>
#include <string.h>

static int failures;
#define CHECK(cond)                                                  \
    do {                                                             \
        if (!(cond)) {                                               \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                              \
        }                                                            \
    } while (0)

int main(void) {
    CanMsg m;
    HwParam hw;
    ApiVersion v;
    char text[64];
    uint32_t n = 5;

    memset(&m, 0, sizeof m);
    m.Identifier = 0x123;
    m.Length = 2;
    m.Data[0] = 0xAA;
    m.Flags = KORVA_FLAG_STANDARD | KORVA_FLAG_TIMESTAMP;
    m.TimeStamp = 0x1234;
    CHECK(sizeof(CanMsg) == 16);
    CHECK(((unsigned char *)&m)[5] == 0xAA);
    CHECK(((unsigned char *)&m)[13] == (KORVA_FLAG_STANDARD | KORVA_FLAG_TIMESTAMP));
    CHECK(offsetof(HwParam, HwType) == 6);
    (void)hw;

    CHECK(KORVA_Ioctl(0, KORVA_IOCTL_GET_API_VERSION, &v) == KORVA_ERR_OK);
    CHECK(v.Major == 1 && v.Minor == 6 && v.SubMinor == 0);
    CHECK(KORVA_Ioctl(0, KORVA_IOCTL_SET_DEBUG_LEVEL, KORVA_IOCTL_INT(0)) == KORVA_ERR_OK);
    CHECK(KORVA_Ioctl(0, KORVA_IOCTL_GET_HW_PARAM, &hw) == KORVA_ERR_HANDLE);
    CHECK(KORVA_GetErrorString(KORVA_ERR_HANDLE, text, sizeof text - 1) == 24);
    CHECK(strcmp(text, "The handle is not valid.") == 0);
    CHECK(KORVA_Write(0, &m, 1, &n) == KORVA_ERR_HANDLE && n == 0);
    n = 5;
    CHECK(KORVA_Read(0, &m, 1, &n) == KORVA_ERR_HANDLE && n == 0);
    CHECK(KORVA_Flush(0) == KORVA_ERR_HANDLE);
    CHECK(KORVA_SetRcvEvent(0, NULL) == KORVA_ERR_HANDLE);
    CHECK(KORVA_Close(0) == KORVA_ERR_HANDLE);
    CHECK(KORVA_MODE_LISTEN_ONLY == 1 && KORVA_STATUS_BUFFER_OVERRUN == 0x10000);

    printf("%d passed, %d failed\n", failures ? 0 : 1, failures ? 1 : 0);
    return failures ? 1 : 0;
}
