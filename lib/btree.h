// btree: the KeyTree, a binary search tree from key to value in strcmp
// order (kept within logarithmic depth however its keys arrive), with the reader and writer of files of key = value lines.
// Each node keeps the comment and blank lines that stood before its key in
// the file, and the tree keeps the lines after its last key, so a file read
// and written back keeps every comment (its keys come out sorted).
// A tree owns its nodes (keytree_free, or its destructor).  Out of memory
// makes keytree_set answer null with errno ENOMEM.
//
// File syntax, line by line (at most 8191 characters are taken of a line):
//   a line that does not start with an ASCII letter  comment, kept verbatim
//   key [blanks, tabs, '=' or ':'] value             a key and its value;
//       a value starting with ' or " is read as one quoted token (splitargs),
//       else trailing space characters are dropped.  CR LF ends a line too.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

struct KeyNode {
    KeyNode* left = nullptr;  // keys that compare lower
    KeyNode* right = nullptr; // keys that compare higher
    std::string comment;      // lines before the key in the file; "" none
    std::string value;
    std::string name;
};

struct KeyTree {
    KeyNode* root = nullptr; // null: the empty tree
    std::size_t size = 0;    // nodes linked by keytree_set and keytree_read
    std::string trailer;     // comment lines after the file's last key

    KeyTree() = default;
    KeyTree(const KeyTree&) = delete;
    KeyTree& operator=(const KeyTree&) = delete;
    KeyTree(KeyTree&& other) noexcept;
    KeyTree& operator=(KeyTree&& other) noexcept;
    ~KeyTree();
};

// The value of `key`, or null.  Valid until the key is set again.
const char* keytree_lookup(const KeyTree& tree, const char* key);

// Inserts the key or replaces its value in place (the node, and its
// comment, stay the same).  The node, or null when memory runs out.
KeyNode* keytree_set(KeyTree& tree, const char* key, const char* value);

// Reads key = value lines from `file` into the tree, merging with what it
// holds.  The comment lines before a key become that key's comment: those
// of a key that stands twice are joined in file order, and they replace a
// comment the key had before this file only when there are any.  Those
// after the last key become the tree's trailer.  0 when all was read; 1
// when memory ran out or the stream reported an error (the keys read so
// far stay).
int keytree_read(KeyTree& tree, FILE* file);

// Writes the tree in key order: each comment verbatim, then "key = value\n"
// with the value quoted and escaped wherever reading it back needs that,
// and cut (never inside an escape) where the line would outgrow the 8191
// characters read of a line; the trailer last.  0, or -1 when the stream
// reported a write error.
int keytree_write(const KeyTree& tree, FILE* file);

// Releases every node; the tree is empty afterwards.
void keytree_free(KeyTree& tree);
