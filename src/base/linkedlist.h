// A first-in first-out queue with a sentinel head node. Owns its nodes.
// Not thread-safe.
#pragma once
#include <utility>

namespace base {

template <class T>
class linkedlist {
 public:
  struct node {
    T value;
    node* next = nullptr;
  };

  node* head;     // the sentinel
  node* tail;     // the last node; the sentinel when empty
  node* current;  // a cursor kept at the sentinel when its node goes
  int spare = 0;
  int count = 0;

  linkedlist() : head(new node()), tail(head), current(head) {}
  linkedlist(const linkedlist&) = delete;
  linkedlist& operator=(const linkedlist&) = delete;
  ~linkedlist() {
    while (count > 0) pop();
    delete head;
  }

  void add(T value) {
    node* n = new node();
    n->value = std::move(value);
    tail->next = n;
    tail = n;
    count++;
  }

  // Removes and returns the oldest value; a default T when empty.
  T pop() {
    node* n = head->next;
    if (n == nullptr) return T();
    if (tail == n) tail = head;
    if (current == n) current = head;
    head->next = n->next;
    T value = std::move(n->value);
    delete n;
    count--;
    return value;
  }
};

}  // namespace base
