/*
 * korva_example.c - the korva_api interface from C: open an adapter, set
 * the bit rate, send one frame, wait for one received frame, close.
 *
 * Build against an installed korva_api (pkg-config finds korva_api.pc in
 * <prefix>/lib/pkgconfig; set PKG_CONFIG_PATH for a private prefix):
 *
 *   cc -std=c99 -Wall -o korva_example korva_example.c $(pkg-config --cflags --libs korva_api)
 *
 * Run it with the adapter's name; without hardware, start a simulated
 * adapter first and make it send a frame once ours has arrived:
 *
 *   korva sim --pty /tmp/korva/ttyUSB0          (then type: send 321#C0FFEE)
 *   ./korva_example /tmp/korva/ttyUSB0
 */
#include <korva_api.h>

#include <stdio.h>

/* Prints what failed with the library's text for the code. */
static int Fail(const char *what, int32_t code) {
    char text[64];
    KORVA_GetErrorString(code, text, sizeof text - 1);
    fprintf(stderr, "korva_example: %s: %s (%d)\n", what, text, (int)code);
    return 1;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: korva_example ADAPTER   (ttyUSB0, /dev/ttyS1, host:port, can0)\n");
        return 2;
    }

    int32_t handle = KORVA_Open(argv[1], KORVA_MODE_NORMAL);
    if (handle < 0) return Fail("KORVA_Open", handle);

    HwParam hw;
    if (KORVA_Ioctl(handle, KORVA_IOCTL_GET_HW_PARAM, &hw) == KORVA_ERR_OK)
        printf("opened %s: serial %u, hardware %02X, software %02X\n", argv[1], (unsigned)hw.SerialNr,
               hw.HwVersion, hw.SwVersion);

    /* 500 kbit/s: speed code 6, the adapter's "S6". */
    int32_t rc = KORVA_Ioctl(handle, KORVA_IOCTL_SET_SPEED, KORVA_IOCTL_INT(6));
    if (rc != KORVA_ERR_OK) {
        KORVA_Close(handle);
        return Fail("setting the bit rate", rc);
    }

    /* A standard frame 0x123 with the two data bytes AA BB. */
    CanMsg frame = {0};
    frame.Identifier = 0x123;
    frame.Length = 2;
    frame.Data[0] = 0xAA;
    frame.Data[1] = 0xBB;
    frame.Flags = KORVA_FLAG_STANDARD;
    uint32_t written = 0;
    rc = KORVA_Write(handle, &frame, 1, &written);
    if (rc == KORVA_ERR_OK) rc = KORVA_Flush(handle);
    if (rc != KORVA_ERR_OK) {
        KORVA_Close(handle);
        return Fail("sending", rc);
    }
    printf("sent 123#AABB\n");

    /* A blocking read waits once for the next frame.  It may come back
     * empty (a spurious wake-up): then wait again.  When the connection to
     * the adapter is lost it returns KORVA_ERR_NO_DEVICE. */
    KORVA_Ioctl(handle, KORVA_IOCTL_SET_BLOCKING_READ, KORVA_IOCTL_INT(1));
    CanMsg received;
    uint32_t count = 0;
    do {
        rc = KORVA_Read(handle, &received, 1, &count);
    } while (rc == KORVA_ERR_OK && count == 0);
    if (rc != KORVA_ERR_OK || count == 0) {
        KORVA_Close(handle);
        return Fail("receiving", rc != KORVA_ERR_OK ? rc : KORVA_ERR_NO_ELEMENT);
    }
    printf("received %0*X%s [%u]", (received.Flags & KORVA_FLAG_EXTENDED) ? 8 : 3, (unsigned)received.Identifier,
           (received.Flags & KORVA_FLAG_REMOTE) ? " remote" : "", (unsigned)received.Length);
    if (!(received.Flags & KORVA_FLAG_REMOTE))
        for (unsigned i = 0; i < received.Length && i < 8; ++i) printf(" %02X", received.Data[i]);
    printf("\n");

    KORVA_Close(handle);
    return 0;
}
