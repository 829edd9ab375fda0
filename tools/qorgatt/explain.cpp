// Naming the missing piece of a (service, characteristic, descriptor) path.
#include "explain.h"

namespace qorgatt {

namespace {

// The n-th entry with this UUID among services, characteristics or descriptors; null if there is none.
template <class Entry>
const Entry *Find(const std::vector<Entry> &entries, const Uuid &uuid, uint32_t n)
{
    for (const Entry &e : entries)
        if (e.uuid == uuid && n-- == 0)
            return &e;
    return nullptr;
}

std::string Instance(uint32_t n) { return n ? " (instance " + std::to_string(n) + ")" : ""; }

// "180f (Battery)", or the UUID alone when it has no name.
std::string Named(const Uuid &uuid)
{
    const std::string name = uuid.name();
    return uuid.str() + (name.empty() ? "" : " (" + name + ")");
}

} // namespace

std::string NeverPaired(Address address)
{
    return "nothing stored for " + address.str() + " (pair it first: qorgatt pair ADDR)";
}

std::string WhyNotFound(const AccessPath &p)
{
    std::error_code ec;
    const std::vector<qorle::Service> tree = Session::Get().Client().services(p.address, ec);
    if (tree.empty())
        return NeverPaired(p.address);
    const std::string device = p.address.str();
    const qorle::CharacteristicRef &t = p.target;
    const auto *service = Find(tree, t.service, t.service_instance);
    if (!service)
        return device + " has no service " + Named(t.service) + Instance(t.service_instance) + " in its stored tree";
    const auto *characteristic = Find(service->characteristics, t.characteristic, t.char_instance);
    if (!characteristic)
        return "service " + t.service.str() + " of " + device + " has no characteristic " + Named(t.characteristic) +
               Instance(t.char_instance);
    if (p.descriptor && !Find(characteristic->descriptors, *p.descriptor, 0))
        return "characteristic " + t.characteristic.str() + " of " + device + " has no descriptor " +
               Named(*p.descriptor);
    return "";
}

} // namespace qorgatt
