// libheif and the codecs beneath it (some 20 MB of libraries) are loaded the first time a photo is
// converted, not when the application starts: these definitions stand in for the library's own
// and forward to it.
#include "LazyLibrary.h"

#include <libheif/heif.h>

namespace {

larkhold::LazyLibrary& libheif() {
    static larkhold::LazyLibrary library("libheif.so.1");
    return library;
}

} // namespace

extern "C" {

struct heif_context* heif_context_alloc() {
    static const auto f = libheif().required<decltype(&heif_context_alloc)>("heif_context_alloc");
    return f();
}

struct heif_error heif_context_encode_image(struct heif_context* a0, const struct heif_image* a1,
                                            struct heif_encoder* a2, const struct heif_encoding_options* a3,
                                            struct heif_image_handle** a4) {
    static const auto f = libheif().required<decltype(&heif_context_encode_image)>("heif_context_encode_image");
    return f(a0, a1, a2, a3, a4);
}

void heif_context_free(struct heif_context* a0) {
    static const auto f = libheif().required<decltype(&heif_context_free)>("heif_context_free");
    return f(a0);
}

struct heif_error heif_context_get_encoder_for_format(struct heif_context* a0, enum heif_compression_format a1,
                                                      struct heif_encoder** a2) {
    static const auto f =
        libheif().required<decltype(&heif_context_get_encoder_for_format)>("heif_context_get_encoder_for_format");
    return f(a0, a1, a2);
}

struct heif_error heif_context_get_primary_image_handle(struct heif_context* a0, struct heif_image_handle** a1) {
    static const auto f =
        libheif().required<decltype(&heif_context_get_primary_image_handle)>("heif_context_get_primary_image_handle");
    return f(a0, a1);
}

struct heif_error heif_context_read_from_file(struct heif_context* a0, const char* a1,
                                              const struct heif_reading_options* a2) {
    static const auto f = libheif().required<decltype(&heif_context_read_from_file)>("heif_context_read_from_file");
    return f(a0, a1, a2);
}

struct heif_error heif_context_read_from_memory_without_copy(struct heif_context* a0, const void* a1, size_t a2,
                                                             const struct heif_reading_options* a3) {
    static const auto f = libheif().required<decltype(&heif_context_read_from_memory_without_copy)>(
        "heif_context_read_from_memory_without_copy");
    return f(a0, a1, a2, a3);
}

struct heif_error heif_context_write(struct heif_context* a0, struct heif_writer* a1, void* a2) {
    static const auto f = libheif().required<decltype(&heif_context_write)>("heif_context_write");
    return f(a0, a1, a2);
}

struct heif_error heif_decode_image(const struct heif_image_handle* a0, struct heif_image** a1, enum heif_colorspace a2,
                                    enum heif_chroma a3, const struct heif_decoding_options* a4) {
    static const auto f = libheif().required<decltype(&heif_decode_image)>("heif_decode_image");
    return f(a0, a1, a2, a3, a4);
}

void heif_encoder_release(struct heif_encoder* a0) {
    static const auto f = libheif().required<decltype(&heif_encoder_release)>("heif_encoder_release");
    return f(a0);
}

struct heif_error heif_encoder_set_lossy_quality(struct heif_encoder* a0, int a1) {
    static const auto f =
        libheif().required<decltype(&heif_encoder_set_lossy_quality)>("heif_encoder_set_lossy_quality");
    return f(a0, a1);
}

struct heif_encoding_options* heif_encoding_options_alloc() {
    static const auto f = libheif().required<decltype(&heif_encoding_options_alloc)>("heif_encoding_options_alloc");
    return f();
}

void heif_encoding_options_free(struct heif_encoding_options* a0) {
    static const auto f = libheif().required<decltype(&heif_encoding_options_free)>("heif_encoding_options_free");
    return f(a0);
}

const char* heif_get_file_mime_type(const uint8_t* a0, int a1) {
    static const auto f = libheif().required<decltype(&heif_get_file_mime_type)>("heif_get_file_mime_type");
    return f(a0, a1);
}

int heif_has_compatible_brand(const uint8_t* a0, int a1, const char* a2) {
    static const auto f = libheif().required<decltype(&heif_has_compatible_brand)>("heif_has_compatible_brand");
    return f(a0, a1, a2);
}

int heif_have_encoder_for_format(enum heif_compression_format a0) {
    static const auto f = libheif().required<decltype(&heif_have_encoder_for_format)>("heif_have_encoder_for_format");
    return f(a0);
}

struct heif_error heif_image_add_plane(struct heif_image* a0, enum heif_channel a1, int a2, int a3, int a4) {
    static const auto f = libheif().required<decltype(&heif_image_add_plane)>("heif_image_add_plane");
    return f(a0, a1, a2, a3, a4);
}

struct heif_error heif_image_create(int a0, int a1, enum heif_colorspace a2, enum heif_chroma a3,
                                    struct heif_image** a4) {
    static const auto f = libheif().required<decltype(&heif_image_create)>("heif_image_create");
    return f(a0, a1, a2, a3, a4);
}

int heif_image_get_height(const struct heif_image* a0, enum heif_channel a1) {
    static const auto f = libheif().required<decltype(&heif_image_get_height)>("heif_image_get_height");
    return f(a0, a1);
}

uint8_t* heif_image_get_plane(struct heif_image* a0, enum heif_channel a1, int* a2) {
    static const auto f = libheif().required<decltype(&heif_image_get_plane)>("heif_image_get_plane");
    return f(a0, a1, a2);
}

int heif_image_get_width(const struct heif_image* a0, enum heif_channel a1) {
    static const auto f = libheif().required<decltype(&heif_image_get_width)>("heif_image_get_width");
    return f(a0, a1);
}

enum heif_color_profile_type heif_image_handle_get_color_profile_type(const struct heif_image_handle* a0) {
    static const auto f = libheif().required<decltype(&heif_image_handle_get_color_profile_type)>(
        "heif_image_handle_get_color_profile_type");
    return f(a0);
}

int heif_image_handle_get_height(const struct heif_image_handle* a0) {
    static const auto f = libheif().required<decltype(&heif_image_handle_get_height)>("heif_image_handle_get_height");
    return f(a0);
}

struct heif_error heif_image_handle_get_nclx_color_profile(const struct heif_image_handle* a0,
                                                           struct heif_color_profile_nclx** a1) {
    static const auto f = libheif().required<decltype(&heif_image_handle_get_nclx_color_profile)>(
        "heif_image_handle_get_nclx_color_profile");
    return f(a0, a1);
}

struct heif_error heif_image_handle_get_raw_color_profile(const struct heif_image_handle* a0, void* a1) {
    static const auto f = libheif().required<decltype(&heif_image_handle_get_raw_color_profile)>(
        "heif_image_handle_get_raw_color_profile");
    return f(a0, a1);
}

size_t heif_image_handle_get_raw_color_profile_size(const struct heif_image_handle* a0) {
    static const auto f = libheif().required<decltype(&heif_image_handle_get_raw_color_profile_size)>(
        "heif_image_handle_get_raw_color_profile_size");
    return f(a0);
}

int heif_image_handle_get_width(const struct heif_image_handle* a0) {
    static const auto f = libheif().required<decltype(&heif_image_handle_get_width)>("heif_image_handle_get_width");
    return f(a0);
}

int heif_image_handle_has_alpha_channel(const struct heif_image_handle* a0) {
    static const auto f =
        libheif().required<decltype(&heif_image_handle_has_alpha_channel)>("heif_image_handle_has_alpha_channel");
    return f(a0);
}

void heif_image_handle_release(const struct heif_image_handle* a0) {
    static const auto f = libheif().required<decltype(&heif_image_handle_release)>("heif_image_handle_release");
    return f(a0);
}

void heif_image_release(const struct heif_image* a0) {
    static const auto f = libheif().required<decltype(&heif_image_release)>("heif_image_release");
    return f(a0);
}

void heif_nclx_color_profile_free(struct heif_color_profile_nclx* a0) {
    static const auto f = libheif().required<decltype(&heif_nclx_color_profile_free)>("heif_nclx_color_profile_free");
    return f(a0);
}

} // extern "C"
