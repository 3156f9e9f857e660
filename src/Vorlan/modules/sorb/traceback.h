// Traceback entries for the module's own functions, so that an exception
// raised deep inside pack or unpack shows the path it took.
#pragma once

namespace sorb {

enum class TracebackSite {
    compile,
    parse_json_schema,
    create_constructor,
    parser_init,
    unpack,
    read_object,
    read_value,
    read_vector,
    pack,
    write_object,
    write_value,
    write_vector,
    count_,
};

// Appends an entry for `site` to the traceback of the pending exception.
// Never fails: if the entry cannot be made, the exception stays as it was.
void add_traceback(TracebackSite site);

}  // namespace sorb
