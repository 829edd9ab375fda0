/* The C examples of docs/api.md, gathered by the build, compiled as C against
 * the public header and run against the controller to their end; what they
 * return depends on a device that is not there and is not checked here. */
#include <stdio.h>

#include <QorLeLib.h>

static void WINAPI OnConnect(PVOID context, PLE_ADDRESS address, DWORD connected) {}
static void WINAPI OnComplete(ULONGLONG context, DWORD status, PLE_VALUE value) {}
static DWORD WINAPI OnAttribute(PLE_ADDRESS address, GUID *service, DWORD service_instance, GUID *characteristic,
                                DWORD char_instance, GUID *descriptor, DWORD extra, DWORD type, PLE_VALUE value)
{
    return 0;
}

#include "docs_examples.c"

int main(void)
{
    LE_ADDRESS addr = {0}, client = {0};
    addr.ullLong = 0x001A7DDA7113ULL;
    client.ullLong = 0x0C0000000001ULL;
    DocsExamples(NULL, addr, client);
    QorGattSetTraceFunction(NULL);
    printf("%d docs examples ran\n", kDocsExamples);
    return 0;
}
