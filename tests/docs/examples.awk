# Gathers the C examples of a markdown file into one function: a line that
# starts with "static", and the lines after it up to a blank or an unindented
# one, stay at file scope; the others become the body of the example, each
# nested in the one before so that later examples may use what earlier ones
# declared.
/^```c$/ { inblock = 1; n++; next }
inblock && /^```$/ { inblock = 0; scope = 0; next }
inblock && /^static / { scope = 1 }
inblock && scope && (/^static / || /^[ {}]/) { print; next }
inblock { scope = 0; body[n] = body[n] "    " $0 "\n" }
END {
    print "static void DocsExamples(HQORREG reg, LE_ADDRESS addr, LE_ADDRESS client)\n{"
    for (i = 1; i <= n; i++)
        printf "    { /* example %d */\n%s", i, body[i]
    for (i = 1; i <= n; i++)
        printf "    }\n"
    print "}\nstatic const int kDocsExamples = " n ";"
}
