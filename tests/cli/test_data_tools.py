"""The README's corvane_batch recipes, run for real against pyarrow, pandas,
Polars, DuckDB, Dask and Spark (local[2]): each repairs a column of broken
records (refused, null, empty and non-ASCII ones among them) into what
corvane.repair gives row by row, refusals as nulls. Then a column of more
than 2 GiB of text, which only large_string offsets can hold.
"""

import os
import sys

import pytest

from conftest import broken_records

pa = pytest.importorskip("pyarrow", reason="pyarrow is not installed (pip install '.[columns]')")
from corvane_batch import repair_arrow  # noqa: E402

RECORDS = broken_records(3000, seed=19) + [None, "", "Zoë: {ville: 'Zürich'", None]


@pytest.fixture(scope="module")
def expected(corvane_module):
    def repaired(text):
        if text is None:
            return None
        try:
            return corvane_module.repair(text)
        except ValueError:
            return None

    return [repaired(text) for text in RECORDS]


# --- the recipes, as the README gives them ---------------------------------


def with_pyarrow(texts):
    table = pa.table({"reply": pa.chunked_array([texts[:1000], texts[1000:]])})
    table = table.append_column("fixed", pa.chunked_array(repair_arrow(table["reply"], on_error="null")))
    return table["fixed"].to_pylist()


def with_pandas(texts):
    pd = pytest.importorskip("pandas")
    df = pd.DataFrame({"reply": texts})
    df["fixed"] = pd.Series(pa.chunked_array(repair_arrow(df["reply"], on_error="null")), index=df.index)
    return [None if pd.isna(v) else v for v in df["fixed"]]


def with_polars(texts):
    pl = pytest.importorskip("polars")
    df = pl.DataFrame({"reply": texts})
    eager = df.with_columns(fixed=pl.Series(repair_arrow(df["reply"], on_error="null")))
    lazy = df.lazy().with_columns(
        fixed=pl.col("reply").map_batches(lambda s: pl.Series(repair_arrow(s, on_error="null")),
                                          return_dtype=pl.String)
    ).collect()
    assert lazy["fixed"].to_list() == eager["fixed"].to_list()
    return eager["fixed"].to_list()


def with_duckdb(texts):
    duckdb = pytest.importorskip("duckdb")
    con = duckdb.connect()
    con.register("replies", pa.table({"id": range(len(texts)), "reply": texts}))
    con.create_function(
        "repair_json", lambda reply: pa.chunked_array(repair_arrow(reply, on_error="null")),
        ["VARCHAR"], "VARCHAR", type="arrow", null_handling="special",
    )
    rows = con.sql("SELECT repair_json(reply) FROM replies ORDER BY id").fetchall()
    return [row[0] for row in rows]


def repair_partition(series):
    import pandas as pd

    return pd.Series(pa.chunked_array(repair_arrow(series, on_error="null")), index=series.index, name=series.name)


def with_dask(texts):
    dd = pytest.importorskip("dask.dataframe")
    import pandas as pd

    df = dd.from_pandas(pd.DataFrame({"reply": texts}), npartitions=4)
    df = df.assign(fixed=df["reply"].map_partitions(repair_partition, meta=("fixed", "str")))
    fixed = df["fixed"].compute(scheduler="threads")
    return [None if pd.isna(v) else v for v in fixed]


@pytest.mark.parametrize("recipe", [with_pyarrow, with_pandas, with_polars, with_duckdb, with_dask],
                         ids=lambda r: r.__name__)
def test_recipe_repairs_like_repair(recipe, expected):
    assert recipe(RECORDS) == expected


def test_results_are_taken_as_they_are(expected):
    """What the README says each tool takes without a wrapper."""
    pl = pytest.importorskip("polars")
    duckdb = pytest.importorskip("duckdb")
    array = repair_arrow(pa.array(RECORDS), on_error="null")
    stream = repair_arrow(pa.chunked_array([RECORDS[:10], RECORDS[10:]]), on_error="null")
    for result in (array, stream):
        assert pa.chunked_array(result).to_pylist() == expected
        assert pl.Series(result).to_list() == expected
        assert [row[0] for row in duckdb.sql("SELECT * FROM result").fetchall()] == expected
    assert pa.array(array).to_pylist() == expected


# --- Spark -------------------------------------------------------------------


@pytest.fixture(scope="module")
def spark():
    pytest.importorskip("pyspark", reason="pyspark is not installed (pip install '.[columns]')")
    from pyspark.sql import SparkSession

    if not any(os.access(os.path.join(d, "java"), os.X_OK) for d in os.environ.get("PATH", "").split(os.pathsep)) \
            and not os.environ.get("JAVA_HOME"):
        pytest.skip("no Java runtime (scripts/test.sh installs openjdk-17-jre-headless)")
    # The workers run this interpreter, which has corvane installed.
    os.environ["PYSPARK_PYTHON"] = sys.executable
    session = (SparkSession.builder.master("local[2]").appName("corvane-batch")
               .config("spark.ui.enabled", "false").config("spark.sql.shuffle.partitions", "2").getOrCreate())
    session.sparkContext.setLogLevel("ERROR")
    yield session
    session.stop()


def test_spark_recipes_repair_like_repair(spark, expected):
    # Defined here, Spark ships the functions to its workers by value (a
    # module-level function would be looked up there by its module's name).
    from pyspark.sql import functions as F

    def repair_batches(batches):
        """mapInArrow's function: record batches in, record batches out."""
        for batch in batches:
            fixed = pa.array(repair_arrow(batch.column("reply"), on_error="null"))
            yield pa.RecordBatch.from_arrays([batch.column("id"), fixed], names=["id", "fixed"])

    df = spark.createDataFrame(list(enumerate(RECORDS)), "id long, reply string").repartition(2)
    mapped = df.mapInArrow(repair_batches, "id long, fixed string")
    assert [row.fixed for row in mapped.orderBy("id").collect()] == expected

    if hasattr(F, "arrow_udf"):  # Spark 4.1 and later

        @F.arrow_udf("string")
        def repair_json(reply: pa.Array) -> pa.Array:
            return pa.array(repair_arrow(reply, on_error="null"))

        rows = df.select("id", repair_json("reply").alias("fixed")).orderBy("id").collect()
        assert [row.fixed for row in rows] == expected


# --- more than 2 GiB of text -------------------------------------------------


def test_text_past_two_gib_gets_large_string_offsets(corvane_module):
    """Three string chunks of 800 MB each: every chunk has 32-bit offsets, the
    repaired column together needs 64-bit ones, in every chunk alike."""
    record = "{note: '" + "x" * (8 << 20) + "'"  # 8 MiB, repaired with quotes and a brace added
    chunk = pa.array([record] * 100 + [None])
    column = pa.chunked_array([chunk, chunk, chunk])
    assert column.nbytes > (2 << 30)
    result = repair_arrow(column, threads=2)
    del column, chunk
    repaired = pa.chunked_array(result)
    assert repaired.type == pa.large_string()
    assert [len(c) for c in repaired.chunks] == [101] * 3
    assert repaired.null_count == 3
    text = corvane_module.repair(record)
    assert repaired[0].as_py() == text and repaired[-2].as_py() == text
    assert pa.compute.sum(pa.compute.binary_length(repaired)).as_py() == 300 * len(text)
