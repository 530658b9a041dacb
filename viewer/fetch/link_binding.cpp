#include "link_binding.h"

#include <dlfcn.h>

#include <string>

#include "marlex.h"

namespace karvolen {

// dlopen is called from this program's own code so that its run path applies.
void* MarlexLink::Resolve(const char* name, void*& slot)
{
    if (slot != nullptr) {
        return slot;
    }
    if (handle_ == nullptr) {
        handle_ = dlopen(library_, RTLD_NOW | RTLD_LOCAL);
        if (handle_ == nullptr) {
            const char* why = dlerror();
            throw LinkUnavailable(why != nullptr ? why : library_);
        }
    }
    slot = dlsym(handle_, name);
    if (slot == nullptr) {
        throw LinkUnavailable(std::string("missing export ") + name);
    }
    return slot;
}

// The library's own declarations give the types; the names are never linked.
int32_t MarlexLink::OpenCom() { return reinterpret_cast<decltype(&::OpenCom)>(Resolve("OpenCom", open_))(); }

int32_t MarlexLink::CloseCom() { return reinterpret_cast<decltype(&::CloseCom)>(Resolve("CloseCom", close_))(); }

int32_t MarlexLink::ReadCom(uint8_t* buffer, int32_t length)
{
    return reinterpret_cast<decltype(&::ReadCom)>(Resolve("ReadCom", read_))(buffer, length);
}

int32_t MarlexLink::WriteCom(const uint8_t* buffer, int32_t length)
{
    return reinterpret_cast<decltype(&::WriteCom)>(Resolve("WriteCom", write_))(buffer, length);
}

}  // namespace karvolen
