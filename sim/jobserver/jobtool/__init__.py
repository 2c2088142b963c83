"""Server-side helpers for korvad: compose JobFiles, decode uploaded result parts."""
