<?php
/*
 * Helpers for the shop.
 */
declare(strict_types=1);

namespace Shop;

include 'lib/db.php';
require_once __DIR__ . '/lib/cart.php';

define('TAX_RATE', 0.2);

interface Priced {
    public function price(): float;
}

final class Item implements Priced {
    const CURRENCY = 'EUR';

    public function __construct(private string $name, private float $net) {}

    public function price(): float {
        return round($this->net * (1 + TAX_RATE), 2);
    }
}

function format_price(float $amount, string $currency = Item::CURRENCY): string {
    # Two decimals, thousands separated
    $text = number_format($amount, 2, ',', '.');
    return "$text {$currency}" . PHP_EOL;
}

$items = array_map(fn($row) => new Item($row['name'], (float) $row['net']), $rows ?? []);
foreach ($items as $i => $item) {
    if ($item instanceof Priced && $item->price() > 100) {
        echo format_price($item->price()), "\n";
    } elseif (empty($item)) {
        continue;
    }
}
