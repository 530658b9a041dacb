// marlex bound by name: the library is loaded at the first call of any of its
// four functions and each name is looked up at its own first call.
#pragma once

#include "link_api.h"

namespace karvolen {

// The library's file name as the loader's search finds it: its SONAME.
inline constexpr const char* kMarlexLibrary = "libmarlex.so.1";

class MarlexLink : public LinkApi {
public:
    explicit MarlexLink(const char* library = kMarlexLibrary) : library_(library) {}
    MarlexLink(const MarlexLink&) = delete;
    MarlexLink& operator=(const MarlexLink&) = delete;

    int32_t OpenCom() override;
    int32_t CloseCom() override;
    int32_t ReadCom(uint8_t* buffer, int32_t length) override;
    int32_t WriteCom(const uint8_t* buffer, int32_t length) override;

private:
    void* Resolve(const char* name, void*& slot);

    const char* library_;
    void* handle_ = nullptr;
    void* open_ = nullptr;
    void* close_ = nullptr;
    void* read_ = nullptr;
    void* write_ = nullptr;
};

}  // namespace karvolen
