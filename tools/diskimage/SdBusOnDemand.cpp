// libsystemd (sd-bus, with the six libraries it brings) is loaded only when a desktop user's tool
// first talks to udisks: root never does, and the start of every tool costs less without it. These
// definitions stand in for the library's own and forward to it; the programs do not link it.
#include "LazyLibrary.h"

#include <cerrno>
#include <cstdarg>
#include <systemd/sd-bus.h>

namespace {

larkhold::LazyLibrary& libsystemd() {
    static larkhold::LazyLibrary library("libsystemd.so.0");
    return library;
}

} // namespace

#define LARKHOLD_FORWARD(name) static const auto f = libsystemd().required<decltype(&name)>(#name)
// A variadic function forwards to its va_list twin.
#define LARKHOLD_FORWARD_AS(name, twin) static const auto f = libsystemd().required<decltype(&twin)>(#twin)

extern "C" {

// Every conversation with the bus starts here; without the library it is a bus that cannot be
// reached, which the tools report as such, rather than a missing library that ends the program.
int sd_bus_open_system(sd_bus** bus) {
    static const auto f = reinterpret_cast<decltype(&sd_bus_open_system)>(libsystemd().symbol("sd_bus_open_system"));
    return f ? f(bus) : -ELIBACC;
}

sd_bus* sd_bus_flush_close_unref(sd_bus* bus) {
    LARKHOLD_FORWARD(sd_bus_flush_close_unref);
    return f(bus);
}

int sd_bus_call(sd_bus* bus, sd_bus_message* m, uint64_t usec, sd_bus_error* error, sd_bus_message** reply) {
    LARKHOLD_FORWARD(sd_bus_call);
    return f(bus, m, usec, error, reply);
}

int sd_bus_call_method(sd_bus* bus, const char* destination, const char* path, const char* interface,
                       const char* member, sd_bus_error* error, sd_bus_message** reply, const char* types, ...) {
    LARKHOLD_FORWARD_AS(sd_bus_call_method, sd_bus_call_methodv);
    va_list ap;
    va_start(ap, types);
    const int rc = f(bus, destination, path, interface, member, error, reply, types, ap);
    va_end(ap);
    return rc;
}

int sd_bus_get_property(sd_bus* bus, const char* destination, const char* path, const char* interface,
                        const char* member, sd_bus_error* error, sd_bus_message** reply, const char* type) {
    LARKHOLD_FORWARD(sd_bus_get_property);
    return f(bus, destination, path, interface, member, error, reply, type);
}

void sd_bus_error_free(sd_bus_error* e) {
    LARKHOLD_FORWARD(sd_bus_error_free);
    f(e);
}

int sd_bus_error_has_name(const sd_bus_error* e, const char* name) {
    LARKHOLD_FORWARD(sd_bus_error_has_name);
    return f(e, name);
}

int sd_bus_message_new_method_call(sd_bus* bus, sd_bus_message** m, const char* destination, const char* path,
                                   const char* interface, const char* member) {
    LARKHOLD_FORWARD(sd_bus_message_new_method_call);
    return f(bus, m, destination, path, interface, member);
}

int sd_bus_message_set_allow_interactive_authorization(sd_bus_message* m, int b) {
    LARKHOLD_FORWARD(sd_bus_message_set_allow_interactive_authorization);
    return f(m, b);
}

sd_bus_message* sd_bus_message_unref(sd_bus_message* m) {
    LARKHOLD_FORWARD(sd_bus_message_unref);
    return f(m);
}

int sd_bus_message_append(sd_bus_message* m, const char* types, ...) {
    LARKHOLD_FORWARD_AS(sd_bus_message_append, sd_bus_message_appendv);
    va_list ap;
    va_start(ap, types);
    const int rc = f(m, types, ap);
    va_end(ap);
    return rc;
}

int sd_bus_message_read(sd_bus_message* m, const char* types, ...) {
    LARKHOLD_FORWARD_AS(sd_bus_message_read, sd_bus_message_readv);
    va_list ap;
    va_start(ap, types);
    const int rc = f(m, types, ap);
    va_end(ap);
    return rc;
}

int sd_bus_message_read_array(sd_bus_message* m, char type, const void** ptr, size_t* size) {
    LARKHOLD_FORWARD(sd_bus_message_read_array);
    return f(m, type, ptr, size);
}
}
