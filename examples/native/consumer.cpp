// A native program that embeds Python and drives SortedDict trees only through
// the exported PyBTree_* family, checking every result on the way.
//
//   consumer [PYTHON]
//
// PYTHON (or the environment variable SYLVANMAP_PYTHON) names the interpreter
// of the environment sylvanmap is installed in, e.g. a venv's bin/python; the
// embedded interpreter then takes that environment's site-packages. Without
// it, the interpreter's default paths (and PYTHONPATH) apply.
//
// Prints one line per check and "N passed, M failed" last; exits 1 if any
// check failed, 2 if the interpreter or the module could not be set up.
#include <Python.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sylvanmap_loader.h"

#include "core/compat.h"  // the module's shims: PyErr_GetRaisedException on 3.11

namespace {

SylvanMapAPI api;
PyObject *sorted_dict_type = nullptr;  // borrowed from the module
int passed = 0;
int failed = 0;

void section(const char *name) { std::printf("[%s]\n", name); }

bool check(bool ok, const std::string &what)
{
    std::printf("  %s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    (ok ? passed : failed)++;
    return ok;
}

// An owned reference, released at scope exit.
class Ref {
  public:
    Ref() = default;
    explicit Ref(PyObject *owned) : obj_(owned) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept
    {
        if (this != &other) {
            Py_XDECREF(obj_);
            obj_ = other.obj_;
            other.obj_ = nullptr;
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }
    PyObject *get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }

  private:
    PyObject *obj_ = nullptr;
};

// Aborts the run on a failure of the scaffolding itself (not of a check).
PyObject *must(PyObject *obj, const char *what)
{
    if (obj == nullptr) {
        std::fprintf(stderr, "setup failed: %s\n", what);
        PyErr_Print();
        std::exit(2);
    }
    return obj;
}

Ref integer(long long v) { return Ref(must(PyLong_FromLongLong(v), "int")); }
Ref text(const char *s) { return Ref(must(PyUnicode_FromString(s), "str")); }

std::string repr(PyObject *obj)
{
    Ref r(PyObject_Repr(obj));
    if (!r) {
        PyErr_Clear();
        return "<repr failed>";
    }
    const char *s = PyUnicode_AsUTF8(r.get());
    return s != nullptr ? s : "<repr failed>";
}

// Python's own == on two objects; false if the comparison fails.
bool equal(PyObject *a, PyObject *b)
{
    int r = PyObject_RichCompareBool(a, b, Py_EQ);
    if (r < 0) {
        PyErr_Clear();
        return false;
    }
    return r == 1;
}

// Evaluates a Python expression with sylvanmap imported, for expected values
// and for objects only Python code can make (a subclass, an unorderable key).
PyObject *namespace_dict = nullptr;
Ref eval(const char *expression)
{
    return Ref(must(PyRun_String(expression, Py_eval_input, namespace_dict, namespace_dict), expression));
}

// The pending exception, taken; a null Ref when none is set.
Ref take_error() { return Ref(PyErr_GetRaisedException()); }

bool is_error(const Ref &error, PyObject *type) { return error && PyErr_GivenExceptionMatches(error.get(), type); }

/* ------------------------------------------------------------------------ */

void create_trees()
{
    section("create");
    for (int order : {-1, 0, 1}) {
        Ref t(api.New(order));
        check(t && repr(t.get()) == "SortedDict(order=64, size=0, cache_i64=True)",
              "New(" + std::to_string(order) + ") -> " + (t ? repr(t.get()) : "NULL"));
    }
    Ref t2(api.New(2));
    check(t2 && repr(t2.get()) == "SortedDict(order=2, size=0, cache_i64=True)",
          "New(2) -> " + (t2 ? repr(t2.get()) : "NULL"));
    check(t2 && Py_TYPE(t2.get()) == reinterpret_cast<PyTypeObject *>(sorted_dict_type),
          "New gives exactly sylvanmap.SortedDict");
    check(t2 && api.Size(t2.get()) == 0 && !PyErr_Occurred(), "a new tree is empty");

    Ref huge(api.New(INT_MAX));
    Ref error = take_error();
    check(!huge && is_error(error, PyExc_MemoryError), "New(INT_MAX) -> NULL with MemoryError");
}

void insert_search_delete()
{
    section("insert, search, contains, delete");
    const int n = 200;
    Ref tree(api.New(2));  // order 2 splits and merges nodes constantly
    if (!check(bool(tree), "New(2)")) {
        return;
    }
    std::vector<Ref> values;
    bool inserted = true;
    for (int i = 0; i < n; i++) {
        int k = (i * 73) % n;  // a fixed shuffle of 0..n-1
        Ref key = integer(1000 + k);
        values.emplace_back(must(PyUnicode_FromFormat("v%d", k), "value"));
        inserted &= api.Insert(tree.get(), key.get(), values.back().get()) == 0;
    }
    check(inserted && !PyErr_Occurred(), "Insert 200 keys in shuffled order -> 0 each");
    check(api.Size(tree.get()) == n, "Size -> 200");

    // values[i] holds the value of key 1000 + (i*73)%n; find the one of key 1005.
    PyObject *stored = nullptr;
    for (int i = 0; i < n; i++) {
        if ((i * 73) % n == 5) {
            stored = values[i].get();
        }
    }
    Ref key5 = integer(1005);
    Py_ssize_t before = Py_REFCNT(stored);
    {
        Ref found(api.Search(tree.get(), key5.get()));
        check(found.get() == stored, "Search(1005) -> the stored value " + repr(stored));
        check(Py_REFCNT(stored) == before + 1, "Search returns a new reference");
    }
    Ref absent = integer(5000);
    Ref missing(api.Search(tree.get(), absent.get()));
    check(!missing && !PyErr_Occurred(), "Search(5000) -> NULL, no exception");
    check(api.Contains(tree.get(), key5.get()) == 1, "Contains(1005) -> 1");
    check(api.Contains(tree.get(), absent.get()) == 0 && !PyErr_Occurred(), "Contains(5000) -> 0");

    // Replacing keeps the size and releases the old value.
    Ref replacement = text("replaced");
    Py_ssize_t new_before = Py_REFCNT(replacement.get());
    check(api.Insert(tree.get(), key5.get(), replacement.get()) == 0, "Insert(1005, 'replaced') -> 0");
    check(api.Size(tree.get()) == n, "replacing leaves Size at 200");
    check(Py_REFCNT(stored) == before - 1, "the replaced value lost the tree's reference");
    check(Py_REFCNT(replacement.get()) == new_before + 1, "the new value gained one reference");
    {
        Ref now(api.Search(tree.get(), key5.get()));
        check(now.get() == replacement.get(), "Search(1005) -> 'replaced'");
    }

    // An unorderable key fails with the comparison's TypeError.
    Ref unorderable = eval("object()");
    check(api.Contains(tree.get(), unorderable.get()) == -1 && is_error(take_error(), PyExc_TypeError),
          "Contains(object()) -> -1 with TypeError");
    Ref bad(api.Search(tree.get(), unorderable.get()));
    check(!bad && is_error(take_error(), PyExc_TypeError), "Search(object()) -> NULL with TypeError");
    check(api.Insert(tree.get(), unorderable.get(), Py_None) == -1 && is_error(take_error(), PyExc_TypeError) &&
              api.Size(tree.get()) == n,
          "Insert(object(), None) -> -1 with TypeError, Size still 200");

    check(api.Delete(tree.get(), key5.get()) == 0, "Delete(1005) -> 0");
    check(api.Size(tree.get()) == n - 1 && api.Contains(tree.get(), key5.get()) == 0,
          "1005 is gone, Size -> 199");
    check(Py_REFCNT(replacement.get()) == new_before, "Delete released the value");

    int status = api.Delete(tree.get(), key5.get());
    Ref error = take_error();
    bool carries_key = false;
    if (is_error(error, PyExc_KeyError)) {
        Ref args(PyObject_GetAttrString(error.get(), "args"));
        carries_key = args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) == 1 &&
                      PyTuple_GET_ITEM(args.get(), 0) == key5.get();
    }
    check(status == -1 && carries_key, "Delete(1005) again -> -1 with KeyError(1005) carrying the key");

    // Empty the tree from the left through deletions; every call still checks out.
    bool drained = true;
    for (int k = 0; k < n; k++) {
        if (k == 5) {
            continue;
        }
        Ref key = integer(1000 + k);
        drained &= api.Delete(tree.get(), key.get()) == 0;
    }
    check(drained && api.Size(tree.get()) == 0, "Delete every other key -> Size 0");
    Ref nothing(api.Search(tree.get(), key5.get()));
    check(!nothing && !PyErr_Occurred(), "Search on the emptied tree -> NULL, no exception");
}

void bulk_and_endpoints()
{
    section("keys, values, items, min, max");
    Ref tree(api.New(3));
    if (!check(bool(tree), "New(3)")) {
        return;
    }
    Ref empty_keys(api.Keys(tree.get()));
    Ref empty_items(api.Items(tree.get()));
    check(empty_keys && PyList_Check(empty_keys.get()) && PyList_GET_SIZE(empty_keys.get()) == 0 && empty_items &&
              PyList_GET_SIZE(empty_items.get()) == 0,
          "Keys and Items of an empty tree -> []");
    Ref no_min(api.GetMin(tree.get()));
    Ref no_max(api.GetMax(tree.get()));
    check(!no_min && !no_max && !PyErr_Occurred(), "GetMin and GetMax of an empty tree -> NULL, no exception");

    const char *words[] = {"pear", "apple", "fig", "kiwi", "banana", "cherry", "date", "lime", "mango", "grape"};
    int i = 0;
    for (const char *w : words) {
        Ref key = text(w);
        Ref value = integer(1000000 + i++);
        if (api.Insert(tree.get(), key.get(), value.get()) != 0) {
            check(false, std::string("Insert ") + w);
            return;
        }
    }
    Ref keys(api.Keys(tree.get()));
    Ref values(api.Values(tree.get()));
    Ref items(api.Items(tree.get()));
    Ref expected_keys = eval("sorted(['pear', 'apple', 'fig', 'kiwi', 'banana', 'cherry', 'date', 'lime', 'mango', "
                             "'grape'])");
    check(keys && equal(keys.get(), expected_keys.get()), "Keys -> " + (keys ? repr(keys.get()) : "NULL"));
    Ref expected_values = eval("[1000001, 1000004, 1000005, 1000006, 1000002, 1000009, 1000003, 1000007, 1000008, "
                               "1000000]");
    check(values && equal(values.get(), expected_values.get()), "Values follow key order");
    bool pairs = items && PyList_Check(items.get()) && PyList_GET_SIZE(items.get()) == 10;
    for (Py_ssize_t j = 0; pairs && j < 10; j++) {
        PyObject *item = PyList_GET_ITEM(items.get(), j);
        pairs = PyTuple_Check(item) && PyTuple_GET_SIZE(item) == 2 &&
                PyTuple_GET_ITEM(item, 0) == PyList_GET_ITEM(keys.get(), j) &&
                PyTuple_GET_ITEM(item, 1) == PyList_GET_ITEM(values.get(), j);
    }
    check(pairs, "Items are (key, value) 2-tuples of the stored objects, in key order");

    Ref low(api.GetMin(tree.get()));
    Ref high(api.GetMax(tree.get()));
    Ref apple = text("apple");
    Ref pear = text("pear");
    check(low && equal(low.get(), apple.get()), "GetMin -> " + (low ? repr(low.get()) : "NULL"));
    check(high && equal(high.get(), pear.get()), "GetMax -> " + (high ? repr(high.get()) : "NULL"));

    check(api.Clear(tree.get()) == 0, "Clear -> 0");
    check(api.Size(tree.get()) == 0 && repr(tree.get()) == "SortedDict(order=3, size=0, cache_i64=True)",
          "after Clear: " + repr(tree.get()));
    Ref after(api.Keys(tree.get()));
    check(after && PyList_GET_SIZE(after.get()) == 0, "Keys after Clear -> []");
    Ref reused = text("again");
    check(api.Insert(tree.get(), reused.get(), Py_True) == 0 && api.Size(tree.get()) == 1,
          "a cleared tree takes new items");

    // Releasing the tree releases what it holds.
    Ref held = text("held by the tree only");
    Py_ssize_t before = Py_REFCNT(held.get());
    Ref k = text("zebra");
    check(api.Insert(tree.get(), k.get(), held.get()) == 0 && Py_REFCNT(held.get()) == before + 1, "the tree holds one reference to a stored value");
    tree = Ref();
    check(Py_REFCNT(held.get()) == before, "releasing the tree drops it");
}

void wrong_objects()
{
    section("wrong objects");
    Ref key = integer(1);
    Ref value = text("one");
    const char *names[] = {"a dict", "an int"};
    Ref objects[] = {eval("{1: 'one', 2: 'two'}"), integer(12345)};
    for (int w = 0; w < 2; w++) {
        PyObject *obj = objects[w].get();
        const std::string before = repr(obj);
        int rejected = 0;
        int total = 0;
        auto expect = [&](bool failed_result) {
            total++;
            Ref error = take_error();
            if (failed_result && is_error(error, PyExc_SystemError)) {
                Ref message(PyObject_Str(error.get()));
                const char *s = message ? PyUnicode_AsUTF8(message.get()) : nullptr;
                if (s != nullptr && std::string(s).find("src/btreemodule.cpp") != std::string::npos) {
                    rejected++;
                }
            }
            PyErr_Clear();
        };
        expect(api.Size(obj) == -1);
        expect(api.Insert(obj, key.get(), value.get()) == -1);
        expect(Ref(api.Search(obj, key.get())).get() == nullptr);
        expect(api.Delete(obj, key.get()) == -1);
        expect(api.Contains(obj, key.get()) == -1);
        expect(Ref(api.Keys(obj)).get() == nullptr);
        expect(Ref(api.Values(obj)).get() == nullptr);
        expect(Ref(api.Items(obj)).get() == nullptr);
        expect(Ref(api.GetMin(obj)).get() == nullptr);
        expect(Ref(api.GetMax(obj)).get() == nullptr);
        expect(api.Clear(obj) == -1);
        check(rejected == total, std::string(names[w]) + ": " + std::to_string(rejected) + "/" +
                                     std::to_string(total) + " calls fail with SystemError naming src/btreemodule.cpp");
        check(repr(obj) == before, std::string(names[w]) + " is unchanged: " + repr(obj));
    }
}

void subclass_instances()
{
    section("subclass instances");
    Ref defined(must(PyRun_String("class Sub(sylvanmap.SortedDict):\n    pass\n", Py_file_input, namespace_dict,
                                     namespace_dict),
                     "class Sub"));
    Ref sub = eval("Sub(2)");
    Ref key = integer(42);
    Ref value = text("answer");
    check(api.Insert(sub.get(), key.get(), value.get()) == 0, "Insert into Sub(2) -> 0");
    bool more = true;
    for (int k = 0; k < 20; k++) {
        Ref extra = integer(k);
        more &= api.Insert(sub.get(), extra.get(), Py_None) == 0;
    }
    check(more && api.Size(sub.get()) == 21, "Insert 0..19 as well -> Size 21 (the root has split)");
    Ref found(api.Search(sub.get(), key.get()));
    check(found.get() == value.get(), "Search(42) -> 'answer'");
    Ref top(api.GetMax(sub.get()));
    check(top && equal(top.get(), key.get()), "GetMax -> 42");
    PyDict_SetItemString(namespace_dict, "sub", sub.get());
    Ref python_view = eval("list(sub.keys()) == list(range(20)) + [42] and sub[42] == 'answer'");
    check(python_view.get() == Py_True, "Python sees what native code stored");
    check(api.Delete(sub.get(), key.get()) == 0 && api.Clear(sub.get()) == 0 && api.Size(sub.get()) == 0,
          "Delete and Clear work on it");
    PyDict_DelItemString(namespace_dict, "sub");
}

}  // namespace

int main(int argc, char **argv)
{
    const char *python = argc > 1 ? argv[1] : std::getenv("SYLVANMAP_PYTHON");

    // Interpreter settings come from a PyConfig: with `executable` set to a
    // venv's python, site.py finds that venv's pyvenv.cfg and site-packages.
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    PyStatus status = PyConfig_SetBytesArgv(&config, argc, argv);
    if (!PyStatus_Exception(status) && python != nullptr && *python != '\0') {
        status = PyConfig_SetBytesString(&config, &config.executable, python);
    }
    if (!PyStatus_Exception(status)) {
        status = Py_InitializeFromConfig(&config);
    }
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) {
        Py_ExitStatusException(status);
    }

    Ref module(must(PyImport_ImportModule("sylvanmap"), "import sylvanmap"));
    if (SylvanMap_Load(&api) < 0) {
        must(nullptr, "SylvanMap_Load");
    }
    sorted_dict_type = must(PyObject_GetAttrString(module.get(), "SortedDict"), "sylvanmap.SortedDict");
    Py_DECREF(sorted_dict_type);  // the module keeps it alive
    namespace_dict = must(PyDict_New(), "namespace");
    PyDict_SetItemString(namespace_dict, "__builtins__", PyEval_GetBuiltins());
    PyDict_SetItemString(namespace_dict, "sylvanmap", module.get());

    Ref file(must(PyObject_GetAttrString(module.get(), "__file__"), "__file__"));
    std::printf("sylvanmap native consumer, Python %s\nmodule: %s\n", Py_GetVersion(), PyUnicode_AsUTF8(file.get()));

    create_trees();
    insert_search_delete();
    bulk_and_endpoints();
    wrong_objects();
    subclass_instances();

    if (PyErr_Occurred()) {
        check(false, "no exception left pending");
        PyErr_Print();
    }
    Py_CLEAR(namespace_dict);
    file = Ref();
    module = Ref();
    if (Py_FinalizeEx() < 0) {
        check(false, "Py_FinalizeEx");
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
