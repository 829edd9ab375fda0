# Gathers the examples of one language (lang: c, the default, or cpp) from a
# markdown file, and counts them in kDocsExamples.
#
# C examples become one function: a line that starts with "static", and the
# lines after it up to a blank or an unindented one, stay at file scope; the
# others become the body of the example, each nested in the one before so that
# later examples may use what earlier ones declared.
#
# C++ examples are complete at file scope and are copied as they stand, each
# marked with its place in the markdown file for the compiler's messages. A
# "text" block after an example is what it prints: kDocsOutputs, one string per
# example ("" when none is shown). The rows of the table headed "| Code |
# Meaning |" become kDocsMeanings.
BEGIN { if (lang == "") lang = "c" }
$0 == "```" lang { inblock = 1; n++; if (lang == "cpp") printf "#line %d \"%s\"\n", NR + 1, FILENAME; next }
lang == "cpp" && $0 == "```text" { intext = 1; next }
(inblock || intext) && /^```$/ { inblock = 0; intext = 0; scope = 0; next }
intext { gsub(/[\\"]/, "\\\\&"); output[n] = output[n] $0 "\\n"; next }
inblock && lang == "cpp" { print; next }
inblock && /^static / { scope = 1 }
inblock && scope && (/^static / || /^[ {}]/) { print; next }
inblock { scope = 0; body[n] = body[n] "    " $0 "\n" }
lang == "cpp" && /^\| Code \| Meaning \|$/ { table = 1; next }
table && /^\|[-|]+\|$/ { next }
table && /^\| / { split($0, cell, / *\| */); meanings = meanings sprintf("    {%s, \"%s\"},\n", cell[2], cell[3]); next }
{ table = 0 }
END {
    if (lang == "c") {
        print "static void DocsExamples(HQORREG reg, LE_ADDRESS addr, LE_ADDRESS client)\n{"
        for (i = 1; i <= n; i++)
            printf "    { /* example %d */\n%s", i, body[i]
        for (i = 1; i <= n; i++)
            printf "    }\n"
        print "}"
    } else {
        print "#line 1 \"the tables of docs examples\"\nstatic const char *const kDocsOutputs[] = {"
        for (i = 1; i <= n; i++)
            printf "    \"%s\",\n", output[i]
        printf "};\nstatic const struct {\n    DWORD code;\n    const char *meaning;\n} kDocsMeanings[] = {\n%s};\n", meanings
    }
    print "static const int kDocsExamples = " n ";"
}
