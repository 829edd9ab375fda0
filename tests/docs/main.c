/* The C examples of docs/api.md, gathered by the build, compiled as C against
 * the public header and run against the controller to their end; what they
 * return depends on a device that is not there and is not checked here. */
#include <stdio.h>

#include <QorLeLib.h>

#include "docs_examples.c"

int main(void)
{
    LE_ADDRESS addr = {0x001A7DDA7113ULL}, client = {0x0C0000000001ULL};
    DocsExamples(NULL, addr, client);
    printf("%d docs examples ran\n", kDocsExamples);
}
