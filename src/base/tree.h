// tree - Tree<K, MapData<V>>, the ordered map behind the preprocessor's
// define table, the script associative arrays and the string dictionaries.
// Keys are unique and visited in ascending order of the key's operator<.
// Unsynchronised: callers that share one lock around it.
#ifndef TORVANE_BASE_TREE_H_
#define TORVANE_BASE_TREE_H_

#include <iterator>
#include <map>

// One node's payload: the value stored under a key.
template <typename V>
struct MapData {
  V data{};
};

// `Node` is MapData<V> (or a type derived from it); it must be default
// constructible. Nodes stay at the same address until their key is removed
// or the tree is cleared or destroyed.
template <typename K, typename Node>
class Tree {
  using Map = std::map<K, Node>;

  // Walks the nodes in ascending key order; `->` reaches the node payload.
  template <typename MapIt, typename NodeT>
  class Iter {
   public:
    Iter() = default;
    explicit Iter(MapIt it) : it_(it) {}
    NodeT* operator->() const { return &it_->second; }
    NodeT& operator*() const { return it_->second; }
    const K& key() const { return it_->first; }
    Iter& operator++() {
      ++it_;
      return *this;
    }
    // The same as ++, named for callers that walk explicitly.
    Iter& next() { return ++*this; }
    bool operator==(const Iter& other) const { return it_ == other.it_; }
    bool operator!=(const Iter& other) const { return it_ != other.it_; }
    MapIt base() const { return it_; }

   private:
    MapIt it_{};
  };

 public:
  using iterator = Iter<typename Map::iterator, Node>;
  using const_iterator = Iter<typename Map::const_iterator, const Node>;

  // The node for `key`, inserted with a default value when absent. Never
  // duplicates a key. The pointer stays valid while the key is in the tree.
  Node* append(const K& key) { return &nodes_.try_emplace(key).first->second; }
  Node* operator[](const K& key) { return append(key); }

  // The node whose key equals `key`, or end().
  iterator find(const K& key) { return iterator(nodes_.find(key)); }
  const_iterator find(const K& key) const { return const_iterator(nodes_.find(key)); }

  // Removes `key`'s node. Returns true when there was one.
  bool remove(const K& key) { return nodes_.erase(key) > 0; }
  // Removes the node at `it` and returns the iterator to its successor.
  // REQUIRES: `it` is a valid, dereferenceable iterator of this tree.
  iterator remove(iterator it) { return iterator(nodes_.erase(it.base())); }

  void clear() { nodes_.clear(); }
  int size() const { return static_cast<int>(nodes_.size()); }

  iterator begin() { return iterator(nodes_.begin()); }
  iterator end() { return iterator(nodes_.end()); }
  const_iterator begin() const { return const_iterator(nodes_.begin()); }
  const_iterator end() const { return const_iterator(nodes_.end()); }

 private:
  Map nodes_;
};

#endif  // TORVANE_BASE_TREE_H_
