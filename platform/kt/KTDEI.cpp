#include "KTDEI.h"

#include <map>
#include <mutex>
#include <utility>

namespace KT {
namespace {

struct Store {
    std::mutex lock;
    std::map<std::pair<unsigned short, unsigned short>, KTDEIValue> values;
    KTDEI::Handler handler;
    unsigned long calls = 0;
};

Store& store() {
    static Store s;
    return s;
}

}  // namespace

KTDEI* KTDEI::instance() {
    static KTDEI single;
    return &single;
}

int KTDEI::record(unsigned short group, unsigned short index, const KTDEIValue& value) {
    Handler handler;
    {
        std::lock_guard<std::mutex> guard(store().lock);
        store().values[{group, index}] = value;
        ++store().calls;
        handler = store().handler;
    }
    return handler ? handler(group, index, value) : 0;
}

int KTDEI::setVariableValue(unsigned short group, unsigned short index, int value, bool, bool) {
    KTDEIValue v;
    v.number = value;
    return record(group, index, v);
}

int KTDEI::setVariableValue(unsigned short group, unsigned short index, const std::string& value, bool,
                            bool) {
    KTDEIValue v;
    v.isText = true;
    v.text = value;
    return record(group, index, v);
}

void KTDEI::setHandler(Handler handler) {
    std::lock_guard<std::mutex> guard(store().lock);
    store().handler = std::move(handler);
}

bool KTDEI::lastValue(unsigned short group, unsigned short index, KTDEIValue* value) {
    std::lock_guard<std::mutex> guard(store().lock);
    auto it = store().values.find({group, index});
    if (it == store().values.end()) return false;
    if (value) *value = it->second;
    return true;
}

unsigned long KTDEI::callCount() {
    std::lock_guard<std::mutex> guard(store().lock);
    return store().calls;
}

void KTDEI::reset() {
    std::lock_guard<std::mutex> guard(store().lock);
    store().values.clear();
    store().handler = nullptr;
    store().calls = 0;
}

}  // namespace KT
