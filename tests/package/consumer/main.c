/* A C application of QorLeLib: installs a trace sink, makes one call that the
 * library refuses and registers for pairing discovery with the controller. */
#include <stdio.h>

#include <QorLeLib.h>

static int trace_lines;

static void WINAPI Sink(const char *line)
{
    (void)line;
    ++trace_lines;
}

int main(void)
{
    GUID app = {0x7A1C0101, 0x3D52, 0x4E8B, {0x9C, 0x61, 0x2F, 0x0A, 0x5B, 0x8D, 0x4E, 0x17}};
    HQORREG reg = NULL;
    DWORD refused, registered, unregistered;

    QorGattSetTraceFunction(Sink);
    refused = QorGattRegister(NULL, &app, NULL, NULL, NULL, NULL, &reg);
    printf("QorGattRegister without an address -> %lu\n", (unsigned long)refused);
    registered = QorGattPairingRegister();
    printf("QorGattPairingRegister -> %lu\n", (unsigned long)registered);
    unregistered = QorGattPairingUnregister();
    printf("QorGattPairingUnregister -> %lu\n", (unsigned long)unregistered);
    QorGattSetTraceFunction(NULL);
    printf("trace lines seen: %d\n", trace_lines);
    return refused == ERROR_INVALID_PARAMETER && registered == 0 && unregistered == 0 && trace_lines > 0 ? 0 : 1;
}
