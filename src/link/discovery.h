#pragma once
// The discovery list: what one walk over a remote device's attribute database
// found, in discovery order. Built on the reader thread, read by the service
// store once the walk has ended, released before the next walk starts.

#include <cstdint>

#include "link/link.h"

constexpr size_t kUserDescriptionSize = 514;   // the text and its terminating zero

struct disc_descr {
    LeUuid uuid;
    uint16_t handle;
    disc_descr *next;
};

struct disc_char {
    uint16_t handle;                 // declaration
    uint8_t properties;
    uint16_t val_handle;
    LeUuid uuid;
    uint16_t ext_props;              // 0x2900
    uint16_t client_config;          // 0x2902
    uint16_t server_config;          // 0x2903
    uint8_t format;                  // 0x2904, five fields
    uint8_t exponent;
    uint16_t unit;
    uint8_t name_space;
    uint16_t description;
    char user_description[kUserDescriptionSize];   // 0x2901
    disc_descr *descrs;
    disc_char *next;
};

struct disc_service {
    LeUuid uuid;
    uint16_t s_handle;
    uint16_t e_handle;
    uint8_t included;                // 1: found as an included service
    disc_service *next;
    disc_char *chars;
};

// Standard characteristic descriptors whose values the walk keeps.
constexpr uint16_t kDescrExtProps = 0x2900;
constexpr uint16_t kDescrUserDescription = 0x2901;
constexpr uint16_t kDescrClientConfig = 0x2902;
constexpr uint16_t kDescrServerConfig = 0x2903;
constexpr uint16_t kDescrPresentation = 0x2904;
constexpr size_t kPresentationSize = 7;

extern disc_service *disc_services;

// The 16-bit value of a UUID record (its first two bytes, little-endian).
uint16_t Uuid16Value(const LeUuid &uuid);
bool IsStandardDescriptor(const LeUuid &uuid);

void free_disc_service(disc_service *service);
// Frees every service of the list, empties it and resets the walk state. Only
// while no walk runs.
void ReleaseDiscoveryList();
