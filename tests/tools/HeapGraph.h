#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tests/support/RowStreamReader.h"
#include "tests/support/SnapshotReader.h"
#include "tests/tools/ProfileModel.h"

// The heap of a memory snapshot as the host's object storage takes it: every class, instance, object
// array and primitive array an object, numbered from 1 in that order; an object's references are its
// class, its object fields and elements, and for a class its super class, loader and static object
// fields; ids the snapshot does not hold become empty slots (0). The roots are the objects of the
// snapshot's root records. Also names objects and references the way a heap view shows them.

namespace heapgraph {

enum class Kind { classObject, instance, objectArray, primitiveArray };

struct HeapObject {
  Kind kind = Kind::instance;
  size_t dump = 0;           // its position among the snapshot's dumps of its kind
  uint64_t size = 0;         // shallow, in bytes
  std::vector<int32_t> refs;
};

class HeapGraph {
 public:
  explicit HeapGraph(const snapshotfile::Snapshot& snapshot) : snapshot(snapshot) {
    for (const snapshotfile::NameText& name : snapshot.names) names.emplace(name.id, &name.text);
    for (const snapshotfile::ClassLoad& load : snapshot.classLoads) {
      const auto name = names.find(load.nameId);
      if (name != names.end()) classNames[load.classId] = profilemodel::classNameOfSignature(*name->second);
    }
    const snapshotfile::Heap& heap = snapshot.heap;
    objects.resize(1);
    const auto number = [&](uint32_t id, Kind kind, size_t dump, uint64_t size) {
      if (!numbers.emplace(id, int32_t(objects.size())).second) {
        throw rowstream::FormatError("object id " + std::to_string(id) + " dumped twice");
      }
      objects.push_back({kind, dump, size, {}});
    };
    for (size_t i = 0; i < heap.classes.size(); i++) {
      number(heap.classes[i].id, Kind::classObject, i, heap.classes[i].attributes.size);
      loaders.insert(heap.classes[i].loaderId);
    }
    for (size_t i = 0; i < heap.instances.size(); i++) {
      number(heap.instances[i].id, Kind::instance, i, heap.instances[i].attributes.size);
    }
    for (size_t i = 0; i < heap.objectArrays.size(); i++) {
      number(heap.objectArrays[i].id, Kind::objectArray, i, heap.objectArrays[i].attributes.size);
    }
    for (size_t i = 0; i < heap.primitiveArrays.size(); i++) {
      number(heap.primitiveArrays[i].id, Kind::primitiveArray, i, heap.primitiveArrays[i].attributes.size);
    }
    for (int32_t object = 1; object < int32_t(objects.size()); object++) {
      for (const Reference& reference : referencesOf(object, false)) {
        objects[size_t(object)].refs.push_back(slot(reference.id));
      }
    }
    for (const snapshotfile::Root& root : heap.roots) {
      if (slot(root.objectId) != 0) roots.push_back(slot(root.objectId));
    }
  }

  std::vector<HeapObject> objects;  // [0] stands for none
  std::vector<int32_t> roots;

  int32_t count() const { return int32_t(objects.size()) - 1; }

  // Little-endian int32: the object count, per object its slot count and slots, the root count and the
  // roots.
  std::string graphFile() const {
    std::string bytes;
    const auto put = [&](int32_t value) {
      for (int shift = 0; shift < 32; shift += 8) bytes += char(uint32_t(value) >> shift & 0xFF);
    };
    put(count());
    for (int32_t object = 1; object <= count(); object++) {
      put(int32_t(objects[size_t(object)].refs.size()));
      for (const int32_t target : objects[size_t(object)].refs) put(target);
    }
    put(int32_t(roots.size()));
    for (const int32_t root : roots) put(root);
    return bytes;
  }

  bool isClassOrLoader(int32_t object) const {
    const HeapObject& o = objects[size_t(object)];
    return o.kind == Kind::classObject || (o.kind == Kind::instance && loaders.count(idOf(object)) != 0);
  }

  // "java.util.HashMap", "byte[1024]", "Object[16]", "class Demo".
  std::string label(int32_t object) const {
    const HeapObject& o = objects[size_t(object)];
    const snapshotfile::Heap& heap = snapshot.heap;
    switch (o.kind) {
      case Kind::classObject: return "class " + classNameOf(heap.classes[o.dump].id);
      case Kind::instance: return classNameOf(heap.instances[o.dump].classId);
      case Kind::objectArray: {
        // The length in the first brackets: "byte[48][]".
        std::string name = classNameOf(heap.objectArrays[o.dump].classId);
        const size_t brackets = name.find("[]");
        const std::string length = std::to_string(heap.objectArrays[o.dump].elements.size());
        return brackets == std::string::npos ? name + "[" + length + "]" : name.insert(brackets + 1, length);
      }
      case Kind::primitiveArray: {
        const snapshotfile::PrimitiveArrayDump& array = heap.primitiveArrays[o.dump];
        static const char* const types[] = {"", "", "", "", "boolean", "char", "float", "double", "byte", "short", "int", "long"};
        return std::string(array.type < 12 ? types[array.type] : "?") + "[" + std::to_string(array.length) + "]";
      }
    }
    return "?";
  }

  // How `from` refers to `to`: "field products", "static catalog", "[3]"; empty when it does not.
  std::string referenceName(int32_t from, int32_t to) const {
    for (const Reference& reference : referencesOf(from, true)) {
      if (slot(reference.id) == to) return reference.name;
    }
    return std::string();
  }

  // What holds a root object: its root kinds, a stack local with its name and thread.
  std::string rootName(int32_t object) const {
    std::string text;
    for (const snapshotfile::Root& root : snapshot.heap.roots) {
      if (slot(root.objectId) != object) continue;
      std::string kind = nameOf(root.kindNameId);
      const size_t prefix = kind.rfind("JVMTI_HEAP_ROOT_", 0) == 0 ? 16 : 0;
      kind = kind.substr(prefix);
      for (char& c : kind) c = c == '_' ? ' ' : char(std::tolower(static_cast<unsigned char>(c)));
      if (root.localNameId != 0) kind += " " + nameOf(root.localNameId);
      if (text.find(kind) == std::string::npos) text += (text.empty() ? "" : ", ") + kind;
    }
    return text.empty() ? "root" : text;
  }

 private:
  struct Reference {
    uint32_t id;
    std::string name;
  };

  const snapshotfile::Snapshot& snapshot;
  std::unordered_map<uint32_t, const std::string*> names;
  std::unordered_map<uint32_t, std::string> classNames;
  std::unordered_map<uint32_t, int32_t> numbers;
  std::unordered_set<uint32_t> loaders;

  int32_t slot(uint32_t id) const {
    const auto found = numbers.find(id);
    return found != numbers.end() ? found->second : 0;
  }

  uint32_t idOf(int32_t object) const {
    const HeapObject& o = objects[size_t(object)];
    const snapshotfile::Heap& heap = snapshot.heap;
    switch (o.kind) {
      case Kind::classObject: return heap.classes[o.dump].id;
      case Kind::instance: return heap.instances[o.dump].id;
      case Kind::objectArray: return heap.objectArrays[o.dump].id;
      case Kind::primitiveArray: return heap.primitiveArrays[o.dump].id;
    }
    return 0;
  }

  std::string nameOf(uint32_t id) const {
    const auto found = names.find(id);
    if (found != names.end()) return *found->second;
    const std::optional<std::string> text = snapshotfile::detail::tableString(snapshot, id);
    return text ? *text : "?";
  }

  std::string classNameOf(uint32_t classId) const {
    const auto found = classNames.find(classId);
    return found != classNames.end() ? found->second : "<class " + std::to_string(classId) + ">";
  }

  // With `named` false the names are left empty: the graph needs only the ids.
  std::vector<Reference> referencesOf(int32_t object, bool named) const {
    const auto name = [named](std::string text) { return named ? text : std::string(); };
    const HeapObject& o = objects[size_t(object)];
    const snapshotfile::Heap& heap = snapshot.heap;
    std::vector<Reference> references;
    switch (o.kind) {
      case Kind::classObject: {
        const snapshotfile::ClassDump& c = heap.classes[o.dump];
        references = {{c.superId, name("super class")}, {c.loaderId, name("class loader")}};
        for (const snapshotfile::StaticField& field : c.statics) {
          if (field.type == snapshotfile::objectType) references.push_back({uint32_t(field.value), named ? "static " + nameOf(field.nameId) : ""});
        }
        break;
      }
      case Kind::instance: {
        const snapshotfile::InstanceDump& instance = heap.instances[o.dump];
        references.push_back({instance.classId, name("class")});
        for (const snapshotfile::FieldValue& field : snapshotfile::instanceFields(snapshot, instance)) {
          if (field.type == snapshotfile::objectType) references.push_back({uint32_t(field.value), named ? "field " + nameOf(field.nameId) : ""});
        }
        break;
      }
      case Kind::objectArray: {
        const snapshotfile::ObjectArrayDump& array = heap.objectArrays[o.dump];
        references.push_back({array.classId, name("class")});
        for (size_t i = 0; i < array.elements.size(); i++) {
          references.push_back({array.elements[i], named ? "[" + std::to_string(i) + "]" : ""});
        }
        break;
      }
      case Kind::primitiveArray:
        break;
    }
    return references;
  }
};

}  // namespace heapgraph
