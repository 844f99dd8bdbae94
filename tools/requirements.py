"""Print the requirements named in pyproject.toml: build system plus the given extras."""
import sys
import tomllib

with open("pyproject.toml", "rb") as f:
    project = tomllib.load(f)
reqs = list(project["build-system"]["requires"]) + ["cmake>=3.21", "ninja"]
for extra in sys.argv[1:]:
    reqs += project["project"]["optional-dependencies"][extra]
print("\n".join(reqs))
